// Path joining, in both calling forms.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "allocationHook.h"
#include "joinPath.h"

namespace {

std::string take(char *joined) {
    if (joined == nullptr) return "<null>";
    std::string text = joined;
    free(joined);
    return text;
}

std::string joinArray(std::vector<const char *> parts) {
    parts.push_back(nullptr);
    return take(joinPath(parts.data()));
}

std::string joinList(const std::vector<const char *> &p) {
    switch (p.size()) {
    case 0: return take(joinPath(nullptr, nullptr));
    case 1: return take(joinPath(nullptr, p[0], nullptr));
    case 2: return take(joinPath(nullptr, p[0], p[1], nullptr));
    case 3: return take(joinPath(nullptr, p[0], p[1], p[2], nullptr));
    default: return take(joinPath(nullptr, p[0], p[1], p[2], p[3], nullptr));
    }
}

struct Case {
    std::vector<const char *> parts;
    const char *expected;
};

TEST(JoinPath, BothFormsTable) {
    const Case cases[] = {
        {{"dir", "file"}, "dir/file"},
        {{"dir/", "file"}, "dir/file"},
        {{"dir/", "/file"}, "dir/file"},
        {{"/", "usr"}, "/usr"},
        {{"//x"}, "/x"},
        {{"a\\b"}, "a/b"},
        {{"a", "b\\"}, "a/b/"},
        {{"a", "", "b"}, "a/b"},
        {{"", "a"}, "a"},
        {{"a", ""}, "a"},
        {{"a//b", "c"}, "a/b/c"},
        {{"a\\/\\b", "\\\\c//"}, "a/b/c/"},
        {{"./x", "..", "y"}, "./x/../y"},
        {{"/", "/", "/"}, "/"},
        {{""}, ""},
        {{}, ""},
        {{"one", "two", "three", "four"}, "one/two/three/four"},
    };
    for (const Case &c : cases) {
        std::string label;
        for (const char *p : c.parts) label += std::string("[") + p + "]";
        EXPECT_EQ(joinArray(c.parts), c.expected) << label;
        EXPECT_EQ(joinList(c.parts), c.expected) << label;
    }
}

TEST(JoinPath, NoMemoryGivesNull) {
    allocation_hook::arm(static_cast<size_t>(-1), 1);
    char *joined = joinPath(nullptr, "dir", "file", nullptr);
    std::vector<size_t> sizes = allocation_hook::disarm();
    EXPECT_EQ(joined, nullptr);
    // One request, sized for the joined text with a byte a part.
    EXPECT_EQ(sizes, std::vector<size_t>{9});
}

}  // namespace
