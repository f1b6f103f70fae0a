#include "install/parse.h"

#include <windows.h>

#include "base/cmdline.h"
#include "base/text.h"
#include "install/tag_arg.h"
#include "ui/status.h"

int check_setup_list(char* text, const wchar_t* cmdline, setup_list* out, wchar_t* message)
{
    char pinned[128];
    tag_arg(cmdline, pinned);
    int result = read_setup_list(text, pinned, out);
    if (result == list_ok)
        return 1;
    if (result == list_other_tag) {
        wchar_t listed[128], wanted[128];
        utf8_to_wide(out->tag, listed, 128);
        utf8_to_wide(pinned, wanted, 128);
        wformat(message, 1024,
                L"GitHub answered with the setup list of %ls, not %ls (its download links can lag right after a "
                L"release). Try the update again in a few minutes.",
                listed, wanted);
    } else {
        wformat(message, 1024, L"The release's setup list could not be read. Try again later.");
    }
    return 0;
}

void parse_setup_list(char* text, setup_list* out)
{
    wchar_t message[1024];
    if (!check_setup_list(text, g_cmdline, out, message))
        fail(L"%ls", message);
}
