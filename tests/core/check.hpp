// A minimal test harness for the native core: each TEST registers itself, CHECK records a
// failure with its line and goes on, and main() returns non-zero when any check failed.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace brivel::check {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& cases() {
    static std::vector<Case> all;
    return all;
}

inline int& failures() {
    static int n = 0;
    return n;
}

struct Register {
    Register(const char* name, std::function<void()> body) { cases().push_back({name, std::move(body)}); }
};

inline void fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
    ++failures();
}

inline int run_all() {
    for (const Case& c : cases()) {
        int before = failures();
        try {
            c.body();
        } catch (const std::exception& e) {
            fail(c.name, 0, std::string("uncaught exception: ") + e.what());
        }
        std::printf("%s %s\n", failures() == before ? "ok  " : "FAIL", c.name);
    }
    std::printf("%d failed\n", failures());
    return failures() == 0 ? 0 : 1;
}

}  // namespace brivel::check

#define BRIVEL_CAT2(a, b) a##b
#define BRIVEL_CAT(a, b) BRIVEL_CAT2(a, b)
#define TEST(name)                                                                       \
    static void BRIVEL_CAT(test_, name)();                                               \
    static ::brivel::check::Register BRIVEL_CAT(reg_, name)(#name, &BRIVEL_CAT(test_, name)); \
    static void BRIVEL_CAT(test_, name)()
#define CHECK(cond) \
    ((cond) ? (void)0 : ::brivel::check::fail(__FILE__, __LINE__, #cond))
#define CHECK_EQ(a, b) \
    (((a) == (b)) ? (void)0 : ::brivel::check::fail(__FILE__, __LINE__, #a " == " #b))
