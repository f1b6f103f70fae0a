#pragma once
// Removal of a folder and everything in it, for the folders of the install
// tree (staging and version folders, swept versions, the download cache).

// Removes the folder and all it holds; reports nothing: an entry that cannot
// be removed stays, and so do the folders above it.
//
// - Works on the whole path, however deep the tree below it goes (up to the
//   32767 characters that Windows allows); an entry whose path would not fit
//   is left alone, never handled under a cut name.
// - A directory link (junction or symbolic link) is removed as a link and
//   never entered; when the folder handed in is itself one, only that link
//   goes. A link is removed only through a handle shown to be the link
//   itself, so a platform that opens the target instead (Wine with Unix
//   symlinks) keeps the link, and the target stays untouched either way.
// - Files are removed through a handle whose name was checked against the
//   listed entry, for the same reason (Wine shows a Unix symlink to a file
//   as a plain file and would delete its target).
// - A path that does not name a folder (missing, or a file) changes nothing.
//
// Uses static buffers: one thread at a time (the worker).
void rmtree(const wchar_t* folder);

// The first entry that the last rmtree could not remove (a file held open,
// a folder that stayed), as the player knows its path, without "\\?\";
// empty when nothing stayed. Valid until the next rmtree.
const wchar_t* rmtree_left();
