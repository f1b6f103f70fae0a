#include "in_file.h"

#include "names.h"
#include "report.h"

// Takes the one word of a "tag", "run" or "url" line.
static int take_single(const std::vector<std::string>& words, int number, const char* file, std::string* value)
{
    if (words.size() != 2) {
        finding("%s line %d: %s takes one word, not %zu", file, number, words[0].c_str(), words.size() - 1);
        return 0;
    }
    if (!value->empty()) {
        finding("%s line %d: a second %s line", file, number, words[0].c_str());
        return 0;
    }
    *value = words[1];
    return 1;
}

int read_in_file(const std::string& text, const char* file, release_in* out)
{
    int ok = 1;
    int number = 0;
    size_t p = 0;
    while (p < text.size()) {
        size_t end = text.find_first_of("\r\n", p);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(p, end - p);
        number++;
        p = end;
        if (p < text.size())
            p += text.compare(p, 2, "\r\n") == 0 ? 2 : 1;

        if (line.find('\0') != std::string::npos) {
            finding("%s line %d: holds a NUL byte", file, number);
            ok = 0;
            continue;
        }
        std::vector<std::string> words = split_words(line.c_str());
        if (words.empty() || words[0][0] == '#')
            continue;
        const std::string& key = words[0];
        if (key == "tag") {
            ok &= take_single(words, number, file, &out->tag);
        } else if (key == "run") {
            ok &= take_single(words, number, file, &out->run);
        } else if (key == "url") {
            ok &= take_single(words, number, file, &out->url);
        } else if (key == "part") {
            if (words.size() != 5) {
                finding("%s line %d: part takes four words (ZIP DIR FROM TO), not %zu", file, number,
                        words.size() - 1);
                ok = 0;
                continue;
            }
            if (words[1].find('/') != std::string::npos || words[1] == "." || words[1] == "..") {
                finding("%s line %d: the zip %s must be a file name in the release's folder", file, number,
                        shown(words[1]).c_str());
                ok = 0;
                continue;
            }
            out->parts.push_back(in_part{number, words[1], words[2], words[3], words[4]});
        } else {
            finding("%s line %d: %s is no line of a .in file (tag, run, url, part, or # for a comment)", file,
                    number, shown(line).c_str());
            ok = 0;
        }
    }
    const char* missing[3][2] = {{"tag", out->tag.c_str()}, {"run", out->run.c_str()}, {"url", out->url.c_str()}};
    for (auto& m : missing) {
        if (!m[1][0]) {
            finding("%s: has no %s line", file, m[0]);
            ok = 0;
        }
    }
    if (out->parts.empty()) {
        finding("%s: has no part line", file);
        ok = 0;
    }
    return ok;
}
