// Settings record (placeholder until the reader lands).
#include "settings/settings.h"

Settings settings;
void settings_clear() { settings = Settings{}; }
void settings_defaults() {}
void load_config(const char*) {}
std::int64_t parse_ttl(char*) { return 0; }
int facility_from_name(const char*) { return -1; }
void settings_release() { settings = Settings{}; }
