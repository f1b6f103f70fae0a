#pragma once
// The install tree below the base folder: the run's paths, part folders,
// parts.txt, and the decision whether the version has to be built.
//
//   base_dir\downloads\<sha256>.zip(.part)   the download cache
//   base_dir\versions\current.txt            tag of the active version
//   base_dir\versions\previous.txt           the tag it replaced
//   base_dir\versions\<tag>\                 a finished version, with
//                                            installed.txt and parts.txt
//   base_dir\versions\<tag>.part\            a version being built
//
// Every path lives in a buffer of 260 wide characters. A path that does not
// fit is refused, never used cut: a cut version folder could name another
// version, a cut file name another file.

#include "install/setup_list.h"

// The message for a release whose paths do not fit below the folder (%ls).
#define NAMES_TOO_LONG \
    L"This release's file names are too long for the folder %ls. Choose a shorter folder and run the setup again."

struct install_tree {
    wchar_t base_dir[260];
    wchar_t downloads_dir[260];  // base_dir\downloads
    wchar_t versions_dir[260];   // base_dir\versions
    wchar_t version_dir[260];    // versions_dir\<tag>
    wchar_t staging_dir[260];    // versions_dir\<tag>.part
    wchar_t run_path[260];       // version_dir\<run>, with backslashes only
    wchar_t tag[128];            // the list's tag
};

// Names base_dir, downloads_dir and versions_dir, what a run needs before it
// has a setup list. 0 when base_dir is too long for them (as folders, within
// Windows' limit) or for the longest name of the download cache; the record
// then holds no path but base_dir (for the message, when it fits at all).
int init_tree(const wchar_t* base_dir, install_tree* tree);

// Names the rest of the tree for the parsed list: tag, version_dir,
// staging_dir and run_path, below the versions_dir of init_tree. Succeeds
// only when every path that the run later forms from them fits too:
// installed.txt and parts.txt in version_dir, current.txt and previous.txt
// in versions_dir, the run file inside staging_dir, and within Windows'
// limit for folders (see path_length_fits) staging_dir and every folder the
// build makes in it for a part. 0 otherwise, with these four paths and the
// tag cleared: the run must stop.
int name_version(const setup_list* list, install_tree* tree);

// The cached zip of a part, downloads_dir\<sha256>.zip, into out (260 wide
// characters); and the file that it is downloaded into, the zip's path with
// ".part" appended. 0 when the name does not fit, out then empty.
int zip_path(const wchar_t* downloads_dir, const char* sha256, wchar_t* out);
int zip_temp_path(const wchar_t* zip, wchar_t* out);

// The folder, relative to a version folder, that holds this part alone and
// can be carried over to the next version unchanged: dir\to, or for a tool
// archive (to "-" or dir ".") Tolvar\tools\<tool> as its url's file name
// selects; '/' turned into '\'. Returns 1 with it in out (260 wide
// characters); 0 when the part has none, out untouched. A folder too long
// for the buffer counts as none: such a part is simply never carried over.
int part_folder(const part_entry* part, wchar_t* out);

// Writes version_dir\parts.txt afresh: the sha256 and a line feed of every
// one of the count parts that has a part folder, in list order. Nothing is
// written when the file cannot be created.
void write_parts(const wchar_t* version_dir, const part_entry* parts, int count);

// 1 when the version must be built: a repair was asked for, installed.txt
// is missing in version_dir, or the run file is missing.
int needs_build(const install_tree* tree, int repair);

// Makes a clean start for a build: removes what an unfinished build of this
// tag left in staging_dir and this tag's version folder, then creates
// staging_dir (and versions_dir with it). Waits a little for what is held
// open; 0 when something stays in either (rmtree_left() names it), and the
// build must not go on.
int prepare_build(const install_tree* tree);
