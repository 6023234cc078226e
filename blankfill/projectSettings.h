// A file's own settings for its indentation, from the .editorconfig files
// that apply to it (those of its directory and of each directory above, up
// to one that says root = true), read by the EditorConfig project's own
// library where the build has it.
#pragma once

#include <cstdint>

struct ProjectSettings {
    bool keepsTabs = false;  // indent_style = tab: the file is to keep its tabs
    int64_t tabWidth = 0;    // tab_width, else a numeric indent_size; 0 where neither is set
};

// Whether this build reads .editorconfig files.
bool projectSettingsAvailable();

// Fills *settings for the file `name` and returns null, or returns why its
// settings could not be read (a message valid until the next call). A file
// whose directory cannot be found has no settings.
const char *projectSettingsFor(const char *name, ProjectSettings *settings);
