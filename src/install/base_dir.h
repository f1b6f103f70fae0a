#pragma once
// The install base folder: TOLVAR_SETUP_BASE when it is set and not empty
// (at most 259 characters taken), else "Tolvar" in the user's local
// application data folder. Returns 0 when that folder is unknown, out then
// empty. out holds 260 wide characters.
int resolve_base_dir(wchar_t* out);
