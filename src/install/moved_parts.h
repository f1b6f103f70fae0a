#pragma once
// Where the volume keeps no hard links (FAT, exFAT), carrying a part over
// moves its folder out of the installed version. Each such move is written
// down before it is made, in versions\<tag>.moved.txt beside the build's
// staging folder: one line per move, the installed tag, a tab and the part
// folder (UTF-8, relative to a version folder). A build that stops gives
// back exactly these folders, and nothing it did not take.

#include "install/tree.h"

// Writes down that the build of tree's tag is about to move folder out of
// the installed version installed_tag. 1 when it is written down: only then
// may the folder be moved.
int note_moved_part(const install_tree* tree, const char* installed_tag, const char* folder);

// Before a build empties its staging folder: gives every folder that an
// earlier build of this tag moved out of an installed version, and that is
// missing there, back to it from the staging folder (or from this tag's
// version folder, when that build was stopped right after it took its
// place), then forgets the record. A folder that stays held ends the run in
// fail() with the message that names it, and keeps the record: it must never
// be emptied away with the staging folder.
void take_back_moved_parts(const install_tree* tree);

// Forgets the record once the build it belongs to has become the version.
void forget_moved_parts(const install_tree* tree);
