// A file's indentation settings through the EditorConfig library; see
// projectSettings.h. The library finds the .editorconfig files, matches the
// sections' globs and fills in the defaults that its format defines (an
// indent_size without a tab_width gives the tab width too), so only the
// answers are read here.
#include "projectSettings.h"

#include <editorconfig/editorconfig.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "expandTabs.h"

namespace {

char message[PATH_MAX + 200];

// A width from 1 to the largest spacing, all digits; 0 for anything else
// ("tab", "unset", a typo), which leaves the command line's width.
int64_t widthOf(const char *value) {
    if (*value == '\0') return 0;
    uint64_t width = 0;
    for (const char *p = value; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        width = width * 10 + static_cast<uint64_t>(*p - '0');
        if (width > static_cast<uint64_t>(kMaxSpacing)) return 0;
    }
    return static_cast<int64_t>(width);
}

// The library wants a full path. The directory is resolved, so that the
// .editorconfig files above it are found whatever the name's form; the
// file's own name stays, as a link's name is what a section matches.
bool fullPath(const char *name, char *path) {
    const char *slash = std::strrchr(name, '/');
    char directory[PATH_MAX];
    if (slash == nullptr) {
        std::strcpy(directory, ".");
    } else if (static_cast<size_t>(slash - name) < sizeof directory) {
        std::memcpy(directory, name, static_cast<size_t>(slash - name));
        directory[slash - name] = '\0';
        if (slash == name) std::strcpy(directory, "/");
    } else {
        return false;
    }
    char resolved[PATH_MAX];
    if (realpath(directory, resolved) == nullptr) return false;
    const char *base = slash == nullptr ? name : slash + 1;
    const bool atRoot = std::strcmp(resolved, "/") == 0;
    return std::snprintf(path, PATH_MAX, "%s/%s", atRoot ? "" : resolved, base) < PATH_MAX;
}

void readAnswers(editorconfig_handle handle, ProjectSettings *settings) {
    int64_t tabWidth = 0;
    int64_t indentSize = 0;
    const int count = editorconfig_handle_get_name_value_count(handle);
    for (int i = 0; i < count; ++i) {
        const char *name = nullptr;
        const char *value = nullptr;
        editorconfig_handle_get_name_value(handle, i, &name, &value);
        if (strcasecmp(name, "indent_style") == 0) settings->keepsTabs = strcasecmp(value, "tab") == 0;
        if (strcasecmp(name, "tab_width") == 0) tabWidth = widthOf(value);
        if (strcasecmp(name, "indent_size") == 0) indentSize = widthOf(value);
    }
    settings->tabWidth = tabWidth != 0 ? tabWidth : indentSize;
}

}  // namespace

bool projectSettingsAvailable() { return true; }

const char *projectSettingsFor(const char *name, ProjectSettings *settings) {
    *settings = ProjectSettings{};
    char path[PATH_MAX];
    if (!fullPath(name, path)) return nullptr;
    editorconfig_handle handle = editorconfig_handle_init();
    if (handle == nullptr) return "there is no memory to read .editorconfig files";
    const int result = editorconfig_parse(path, handle);
    if (result > 0) {
        // A line of a .editorconfig file that the library cannot read.
        const char *file = editorconfig_handle_get_err_file(handle);
        std::snprintf(message, sizeof message, "%s, line %d: %s", file != nullptr ? file : ".editorconfig", result,
                      editorconfig_get_error_msg(result));
    } else if (result < 0) {
        std::snprintf(message, sizeof message, "reading .editorconfig files: %s", editorconfig_get_error_msg(result));
    } else {
        readAnswers(handle, settings);
    }
    editorconfig_handle_destroy(handle);
    return result == 0 ? nullptr : message;
}
