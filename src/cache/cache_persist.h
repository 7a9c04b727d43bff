// The cache file on disk: loaded once before serving, saved while serving and
// at a clean stop, so that a restart forgets no verification outcome.
#pragma once

#include <cstdint>

// Takes the file's live entries into the memory cache, logging how many. A
// missing file is an empty cache; a file that cannot be trusted is logged once,
// moved aside to PATH.bad and ignored. Never fails the start.
void cache_file_load(const char* path);
// Writes the memory cache's live entries to a new file beside path and renames
// it over path, so the old file stays whole until the new one is. Logs and
// counts the outcome; false when nothing was replaced.
bool cache_file_save(const char* path);
// Saves every interval seconds (none for 0) on a thread of its own until
// cache_saver_stop, which waits for a save in progress.
void cache_saver_start(const char* path, std::int64_t interval);
void cache_saver_stop();
