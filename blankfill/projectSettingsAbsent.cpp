// The project settings of a build without the EditorConfig library: none can
// be read, and the tool refuses the option that asks for them.
#include "projectSettings.h"

bool projectSettingsAvailable() { return false; }

const char *projectSettingsFor(const char *, ProjectSettings *settings) {
    *settings = ProjectSettings{};
    return "this build of blankfill cannot read .editorconfig files";
}
