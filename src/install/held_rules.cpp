#include "install/held_rules.h"

int is_held_error(unsigned long error)
{
    return error == held_access_denied || error == held_sharing_violation || error == held_lock_violation ||
           error == held_user_mapped_file;
}

int held_wait_ms(int tries)
{
    const int step_ms = 100;
    const int budget_ms = 5000;
    return tries >= 1 && tries * step_ms < budget_ms ? step_ms : 0;
}

static wchar_t ascii_lower(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? (wchar_t)(c - L'A' + L'a') : c;
}

static bool ends_with_nocase(const wchar_t* s, size_t len, const wchar_t* suffix)
{
    size_t n = wcslen(suffix);
    if (len < n)
        return false;
    for (size_t k = 0; k < n; k++) {
        if (ascii_lower(s[len - n + k]) != suffix[k])
            return false;
    }
    return true;
}

held_by likely_holder(const wchar_t* path)
{
    size_t len = wcslen(path);
    // A trailing separator names the folder, not a file in it.
    if (len > 0 && (path[len - 1] == L'\\' || path[len - 1] == L'/'))
        return held_by_other;
    if (ends_with_nocase(path, len, L".exe") || ends_with_nocase(path, len, L".dll"))
        return held_by_game;
    return held_by_other;
}

int lock_is_held(unsigned long error, int lock_file_exists)
{
    if (error == held_sharing_violation || error == held_lock_violation)
        return 1;
    return error == held_access_denied && lock_file_exists;
}
