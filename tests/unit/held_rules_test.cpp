// What the setup makes of a path that someone else holds: whether to wait,
// for how long, whom to name, and when another run holds the tree.
#include <gtest/gtest.h>

#include "install/held_rules.h"

TEST(held_rules, only_what_a_holder_causes_is_waited_for)
{
    struct row {
        unsigned long error;
        int held;
    } rows[] = {
        {5, 1},    // access denied: a running program, a folder with an open file inside
        {32, 1},   // sharing violation: opened without sharing the delete
        {33, 1},   // lock violation
        {1224, 1}, // a file mapped into memory
        {2, 0},    // file not found: the zip made no such folder
        {3, 0},    // path not found
        {183, 0},  // already exists
        {112, 0},  // disk full
        {0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.error);
        EXPECT_EQ(is_held_error(r.error), r.held);
    }
}

TEST(held_rules, a_holder_is_waited_for_five_seconds_in_steps)
{
    int waited = 0;
    int tries = 1;
    for (; held_wait_ms(tries) > 0; tries++) {
        EXPECT_EQ(held_wait_ms(tries), 100) << tries;
        waited += held_wait_ms(tries);
    }
    EXPECT_EQ(waited, 4900) << "with the tries themselves, about the five seconds a scanner takes";
    EXPECT_EQ(held_wait_ms(tries + 1), 0) << "once given up, given up";
    EXPECT_EQ(held_wait_ms(0), 0);
}

TEST(held_rules, a_program_file_is_held_by_the_running_game)
{
    struct row {
        const wchar_t* path;
        held_by holder;
    } rows[] = {
        {L"C:\\T\\versions\\1.1.part\\Tolvar\\bin\\tolvar-game.exe", held_by_game},
        {L"C:\\T\\versions\\1.0\\Tolvar\\bin\\Game.EXE", held_by_game},
        {L"C:\\T\\versions\\1.0\\Tolvar\\bin\\engine.dll", held_by_game},
        {L"C:\\T\\versions\\1.1.part\\Tolvar\\game-1.1", held_by_other},
        {L"C:\\T\\versions\\current.txt", held_by_other},
        {L"C:\\T\\versions\\1.0\\data\\world.exe.txt", held_by_other},
        {L"C:\\T\\versions\\1.0\\tools.exe\\", held_by_other}, // a folder so named
        {L"exe", held_by_other},
        {L"", held_by_other},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(r.path)));
        EXPECT_EQ(likely_holder(r.path), r.holder);
    }
}

// The lock file of a tree, as another run finds it. Windows' own rules decide
// which error a second open meets: Wine shows the sharing violation; an
// elevated run's lock and a folder that cannot be written are decided here.
TEST(held_rules, a_lock_that_cannot_be_opened_is_another_runs_unless_there_is_none)
{
    struct row {
        const char* name;
        unsigned long error;
        int exists;
        int held;
    } rows[] = {
        {"open in another run", 32, 1, 1},
        {"locked in another run", 33, 1, 1},
        {"there, but another run's rights keep it (an elevated run)", 5, 1, 1},
        {"not there, and the folder cannot be written", 5, 0, 0},
        {"the base folder is missing", 3, 0, 0},
        {"a name the system refuses", 123, 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(lock_is_held(r.error, r.exists), r.held);
    }
}
