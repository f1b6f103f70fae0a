#pragma once
// What Tolvar-Setup.exe tells a player, quoted in the findings so that a
// release engineer sees what a mistake costs. Parts are "%d of %d".

static const char msg_unreadable[] = "The release's setup list could not be read. Try again later.";
static const char msg_checksum[] = "Part %d of %d did not download correctly (its checksum differs). Try again.";
static const char msg_servers[] =
    "Downloading part %d of %d failed: GitHub's download servers are failing right now (tried 8 times over "
    "3 minutes) ...";
static const char msg_download_failed[] =
    "Downloading part %d of %d failed. Check your connection and free space, then try again.";
static const char msg_unpack[] = "Unpacking part %d of %d failed (Windows' tar.exe). Is there enough free space on C:?";
static const char msg_rename[] = "Could not set up part %d of %d (renaming %s).";
static const char msg_missing[] = "Tolvar is missing after unpacking (%s). Your antivirus may have removed it ...";
static const char msg_other_tag[] =
    "GitHub answered with the setup list of %s, not %s (its download links can lag right after a release). "
    "Try the update again in a few minutes.";
static const char msg_no_release[] =
    "Tolvar has no release to install from yet. Its releases page says when one is out ...";
static const char msg_not_signed[] =
    "This Tolvar release is not signed by its publisher, so it was not installed. Try again in a few minutes; if "
    "this lasts, tell the game's publisher.";
static const char msg_sig_mismatch[] =
    "This Tolvar release's signature does not match its publisher's key, so it was not installed. Tell the game's "
    "publisher.";
