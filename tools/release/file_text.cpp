#include "file_text.h"

#include <stdio.h>
#include <unistd.h>

int read_file_text(const std::string& path, std::string* out)
{
    out->clear();
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return 0;
    char buf[1 << 16];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0)
        out->append(buf, got);
    int ok = !ferror(f);
    fclose(f);
    return ok;
}

int write_file_text(const std::string& path, const std::string& text)
{
    std::string temp = path + ".new";
    FILE* f = fopen(temp.c_str(), "wb");
    if (!f)
        return 0;
    int ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (fclose(f) == 0) && ok;
    if (ok && rename(temp.c_str(), path.c_str()) == 0)
        return 1;
    unlink(temp.c_str());
    return 0;
}
