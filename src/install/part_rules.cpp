#include "install/part_rules.h"

#include <string.h>

int part_is_tool_archive(const part_entry* part)
{
    return strcmp(part->to, "-") == 0 || strcmp(part->dir, ".") == 0;
}

static bool begins_with_tool_prefix(const char* name, const char* tool)
{
    static const char lead[] = "Tolvar-";
    size_t lead_len = sizeof lead - 1;
    size_t tool_len = strlen(tool);
    return strncmp(name, lead, lead_len) == 0 && strncmp(name + lead_len, tool, tool_len) == 0 &&
           name[lead_len + tool_len] == '-';
}

const char* tool_for_url(const char* url)
{
    static const char* const tools[] = {"python", "emsdk", "cpm", "third_party", "wgpu-native"};
    if (!url)
        return 0;
    const char* slash = strrchr(url, '/');
    const char* name = slash ? slash + 1 : url;
    for (const char* tool : tools)
        if (begins_with_tool_prefix(name, tool))
            return tool;
    return 0;
}

int part_folder_utf8(const part_entry* part, char out[520])
{
    char folder[520];
    if (part_is_tool_archive(part)) {
        const char* tool = tool_for_url(part->url);
        if (!tool)
            return 0;
        strcpy(folder, "Tolvar\\tools\\");
        strcat(folder, tool);
    } else {
        size_t dir_len = strnlen(part->dir, 259);
        size_t to_len = strnlen(part->to, 259);
        memcpy(folder, part->dir, dir_len);
        folder[dir_len] = '\\';
        memcpy(folder + dir_len + 1, part->to, to_len);
        folder[dir_len + 1 + to_len] = 0;
    }
    // A '/' byte never stands inside a multi-byte UTF-8 sequence.
    for (char* p = folder; *p; p++)
        if (*p == '/')
            *p = '\\';
    strcpy(out, folder);
    return 1;
}
