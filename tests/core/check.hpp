// A minimal test registry for the native core: TEST(name) { CHECK(...); CHECK_EQ(a, b); }.
#pragma once

#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    void (*body)();
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

struct Registrar {
    Registrar(const char* name, void (*body)()) { registry().push_back({name, body}); }
};

// Failures of the running case; a case passes when it records none and throws nothing.
inline int& failures() {
    static int count = 0;
    return count;
}

inline void fail(const char* file, int line, const std::string& what) {
    ++failures();
    std::fprintf(stderr, "  %s:%d: %s\n", file, line, what.c_str());
}

template <class T>
std::string show(const T& value) {
    std::ostringstream out;
    if constexpr (requires { out << value; }) {
        out << value;
    } else {
        out << "{";
        bool first = true;
        for (const auto& item : value) {
            out << (first ? "" : ", ") << show(item);
            first = false;
        }
        out << "}";
    }
    return out.str();
}

}  // namespace check

#define TEST(name)                                                  \
    static void name();                                             \
    static const ::check::Registrar name##_registrar(#name, &name); \
    static void name()

#define CHECK(cond)                                                         \
    do {                                                                    \
        if (!(cond)) ::check::fail(__FILE__, __LINE__, "CHECK(" #cond ")"); \
    } while (0)

#define CHECK_EQ(a, b)                                                                                                \
    do {                                                                                                              \
        const auto& check_a_ = (a);                                                                                   \
        const auto& check_b_ = (b);                                                                                   \
        if (!(check_a_ == check_b_))                                                                                  \
            ::check::fail(__FILE__, __LINE__,                                                                         \
                          "CHECK_EQ(" #a ", " #b "): " + ::check::show(check_a_) + " != " + ::check::show(check_b_)); \
    } while (0)
