#pragma once
// tolvar-setup.in, what a release engineer writes: the setup list less
// what can be computed.
//
//   tag 1.1
//   run Tolvar/bin/tolvar-game.exe
//   url https://github.com/brannix/ProjectTolvar/releases/download/1.1/
//   part Tolvar-game-1.1.zip Tolvar game-1.1 bin
//
// One "part ZIP DIR FROM TO" line per part, in order; each part's url is
// the url prefix followed by ZIP. Words are separated by white space;
// empty lines and lines that begin with '#' are skipped.

#include <string>
#include <vector>

struct in_part {
    int line;          // its line number, for messages
    std::string zip;   // file name of the zip, in the release's folder
    std::string dir, from, to;
};

struct release_in {
    std::string tag, run, url;
    std::vector<in_part> parts;
};

// Reads the text of a .in file into *out; reports every line it cannot
// take as a finding naming file and line. Returns 1 when nothing was wrong.
int read_in_file(const std::string& text, const char* file, release_in* out);
