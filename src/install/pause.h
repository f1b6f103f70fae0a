#pragma once
// Waits on the worker thread between attempts. Its own file so that tests of
// the retry loops can put a recording stand-in in its place at link time.
void pause_seconds(int seconds);
