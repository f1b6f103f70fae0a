#pragma once
// "check --published [TAG]": the release as players get it. Fetches the
// setup list from the web host by the link the setup uses, and every zip
// it names from its url, then judges them as "check DIR" judges a folder.

#include <string>

#include "install/setup_list.h"

// tag: the release's tag, or null for the latest release. old: the older
// list for the update cost, or null. key: the publisher's public key (PEM)
// to check the list's signature with, as a setup built with it does, or
// null. Returns the exit code: 0 clean, 1 findings (a list, zip or
// signature that cannot be fetched among them), 2 for a tag that the setup
// cannot pin.
int check_published(const char* tag, const setup_list* old, const std::string* key);
