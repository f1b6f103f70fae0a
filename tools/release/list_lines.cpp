#include "list_lines.h"

#include <string.h>

#include <string>
#include <vector>

#include "base/strings.h"
#include "install/setup_list.h"
#include "messages.h"
#include "names.h"
#include "report.h"

const int tag_width = (int)sizeof(setup_list::tag) - 1;
const int run_width = (int)sizeof(setup_list::run) - 1;
const int max_parts = (int)(sizeof(setup_list::parts) / sizeof(part_entry));

static const char* const part_fields[6] = {"sha256", "size", "dir", "from", "to", "url"};
static const int part_widths[6] = {
    (int)sizeof(part_entry::sha256) - 1, 0, (int)sizeof(part_entry::dir) - 1,
    (int)sizeof(part_entry::from) - 1,   (int)sizeof(part_entry::to) - 1, (int)sizeof(part_entry::url) - 1,
};

// A part line whose values can never be refused, for the probes below.
static const char filler_part[] =
    "part 0000000000000000000000000000000000000000000000000000000000000000 0 d - - u";

// What the setup itself reads from text, which it may cut apart.
static setup_list read_as_setup(std::string text)
{
    setup_list list;
    read_setup_list(&text[0], 0, &list);
    return list;
}

// A plain decimal number that fits 64 bits, as a size should be written.
static bool plain_number(const std::string& word)
{
    if (word.empty() || word.size() > 20)
        return false;
    for (char c : word)
        if (c < '0' || c > '9')
            return false;
    return word.size() < 20 || word <= "18446744073709551615";
}

// Why the line is no line of any kind, as a hint after the message.
static const char* why_no_kind(const std::string& line)
{
    if (starts_with(line.c_str(), "\xEF\xBB\xBF"))
        return " (it begins with a byte order mark)";
    std::vector<std::string> words = split_words(line.c_str());
    if (words.empty())
        return "";
    std::string first = words[0];
    for (char& c : first)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    if (first != "tag" && first != "run" && first != "part")
        return "";
    if (line[0] == ' ' || line[0] == '\t' || line[0] == '\v' || line[0] == '\f')
        return " (a keyword must stand at the very start of the line)";
    if (words[0] != first)
        return " (keywords are written in lower case)";
    return " (the keyword must be followed by one space)";
}

// A tag or run line: one word of at most width bytes.
static void check_word_line(int number, const std::string& line, const char* what, int width, int* seen_at)
{
    std::vector<std::string> words = split_words(line.c_str() + 4);
    if (words.empty()) {
        finding("line %d: a %s line without a %s: the setup ignores it", number, what, what);
        return;
    }
    if ((int)words[0].size() > width) {
        std::string probe = strcmp(what, "tag") == 0 ? line + "\nrun r\n" + filler_part
                                                     : "tag t\n" + line + "\n" + filler_part;
        setup_list read = read_as_setup(probe);
        finding("line %d: the %s is %zu bytes long; the setup reads only its first %d: %s", number, what,
                words[0].size(), width, shown(strcmp(what, "tag") == 0 ? read.tag : read.run).c_str());
    }
    if (words.size() > 1)
        finding("line %d: the setup ignores what follows the %s: %s", number, what,
                shown(line.substr(line.find(words[1], 4 + words[0].size()))).c_str());
    if (*seen_at)
        finding("line %d: a second %s line: the setup takes this %s and drops the one of line %d", number, what,
                what, *seen_at);
    *seen_at = number;
}

// A part line that the setup counts or skips, and how it reads it. Returns
// 1 when the setup counts it as a part.
static int check_part_line(int number, const std::string& line, int index, int n)
{
    std::vector<std::string> words = split_words(line.c_str() + 5);
    setup_list read = read_as_setup("tag t\nrun r\n" + line);
    bool counted = read.count == 1;

    // The first word longer than its width shifts every field after it.
    std::string problem;
    for (size_t k = 0; k < words.size() && k < 6; k++) {
        if (k == 1 && !plain_number(words[1])) {
            problem = "its size " + shown(words[1]) + " is not a plain number of bytes";
            break;
        }
        if (k != 1 && (int)words[k].size() > part_widths[k]) {
            problem = "its " + std::string(part_fields[k]) + " is " + std::to_string(words[k].size()) +
                      " bytes long, over the " + std::to_string(part_widths[k]) +
                      " the setup reads, and the rest is read as the next field";
            break;
        }
    }
    if (!counted) {
        if (problem.empty())
            problem = "it has " + std::to_string(words.size()) + " of the 6 words (sha256 size dir from to url)";
        finding("line %d: the setup skips this part line: %s", number, problem.c_str());
        return 0;
    }
    if (!problem.empty())
        finding("line %d (part %d of %d): %s", number, index + 1, n, problem.c_str());
    else if (words.size() > 6)
        finding("line %d (part %d of %d): the setup ignores what follows the url: %s", number, index + 1, n,
                shown(words[6]).c_str());
    return 1;
}

void check_lines(const char* text, size_t len)
{
    size_t used = strnlen(text, len);
    if (used < len) {
        size_t rest = used;
        while (rest < len && (text[rest] == 0 || text[rest] == '\r' || text[rest] == '\n'))
            rest++;
        if (rest < len)
            finding("the list holds a NUL byte at byte %zu: the setup reads nothing after it", used + 1);
    }
    std::string body(text, used);
    setup_list whole = read_as_setup(body);

    int tag_at = 0;
    int run_at = 0;
    int parts = 0;
    int number = 0;
    size_t p = 0;
    while (p < body.size()) {
        size_t end = body.find_first_of("\r\n", p);
        if (end == std::string::npos)
            end = body.size();
        std::string line = body.substr(p, end - p);
        number++;
        p = end;
        if (p < body.size())
            p += body.compare(p, 2, "\r\n") == 0 ? 2 : 1;
        if (line.empty())
            continue;

        if (starts_with(line.c_str(), "tag ")) {
            check_word_line(number, line, "tag", tag_width, &tag_at);
        } else if (starts_with(line.c_str(), "run ")) {
            check_word_line(number, line, "run", run_width, &run_at);
        } else if (starts_with(line.c_str(), "part ")) {
            if (parts >= max_parts) {
                finding("line %d: one part line too many: the setup reads only the first %d parts and ignores it",
                        number, max_parts);
                continue;
            }
            parts += check_part_line(number, line, parts, whole.count);
        } else if (split_words(line.c_str()).size() > 0) {
            finding("line %d: the setup ignores this line: %s%s", number, shown(line).c_str(), why_no_kind(line));
        }
    }

    if (!whole.tag[0])
        finding("the list has no tag line with a tag: players get \"%s\"", msg_unreadable);
    if (!whole.run[0])
        finding("the list has no run line with a program: players get \"%s\"", msg_unreadable);
    if (whole.count == 0)
        finding("the list has no complete part line: players get \"%s\"", msg_unreadable);
}
