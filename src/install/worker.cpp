#include "install/worker.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "base/cmdline.h"
#include "base/text.h"
#include "install/acquire.h"
#include "install/activate.h"
#include "install/base_dir.h"
#include "install/fetch_list.h"
#include "install/files.h"
#include "install/held_path.h"
#include "install/moved_parts.h"
#include "install/parse.h"
#include "install/rmtree.h"
#include "install/signature.h"
#include "install/tree.h"
#include "ui/status.h"

// The publisher's public key (PEM) when the exe is built with one: every
// setup list must then carry the publisher's signature. Without one, lists
// are taken as they come and no signature is asked for.
#ifdef TOLVAR_PUBLISHER_KEY
static const char publisher_key[] = TOLVAR_PUBLISHER_KEY; // the key built in
#else
static const char publisher_key[] = ""; // no key built in
#endif

// Cuts the first "--repair" out of the command line, so that the game does
// not receive it. Returns 1 when there was one.
static int take_repair()
{
    wchar_t* at = wcsstr(g_cmdline, L"--repair");
    if (!at)
        return 0;
    memmove(at, at + 8, (wcslen(at + 8) + 1) * sizeof(wchar_t));
    return 1;
}

DWORD WINAPI work(void*)
{
    int repair = take_repair();
    if (repair)
        Sleep(2000); // lets a game that asked for the repair exit first

    wchar_t base_dir[MAX_PATH];
    if (!resolve_base_dir(base_dir))
        fail(L"No local application data folder.");

    static install_tree tree; // the run's folders and files
    if (!init_tree(base_dir, &tree))
        fail(L"The folder %ls is too long to install into. Choose a shorter folder and run the setup again.",
             base_dir);
    make_dirs(tree.downloads_dir);

    status(searching);
    mem_buf text = {};
    fetch_setup_list(&text);
    list_seal seal;
    if (publisher_key[0])
        seal_list(text.data, text.len, &seal); // now: the parse cuts the text apart
    static setup_list list; // the parsed setup list
    parse_setup_list(text.data, &list);
    free(text.data);
    // Before the install decision: a list that fails here touches nothing
    // and starts nothing, not even an installed version of its tag.
    if (publisher_key[0])
        require_signature(publisher_key, &seal, list.tag);

    if (!name_version(&list, &tree))
        fail(NAMES_TOO_LONG, tree.base_dir);
    if (needs_build(&tree, repair)) {
        take_back_moved_parts(&tree);
        if (!prepare_build(&tree))
            fail_held(rmtree_left());
        for (int i = 0; i < list.count; i++)
            acquire_part(&tree, &list, i);
        finish_build(&tree, &list);
    }
    activate_and_start(&tree, &list);
    return 0;
}
