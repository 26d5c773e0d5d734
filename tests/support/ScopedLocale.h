#pragma once

#include <clocale>
#include <string>

// Runs a scope under a player's locale (printf's numbers, the C library's case folding,
// Qt's local text), the previous one back at its end. scripts/test generates the ones
// the tests use.
class ScopedLocale
{
public:
    explicit ScopedLocale(const char* name)
        : m_previous(std::setlocale(LC_ALL, nullptr)), m_set(std::setlocale(LC_ALL, name))
    {
    }
    ~ScopedLocale() { std::setlocale(LC_ALL, m_previous.c_str()); }
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;
    bool IsSet() const { return m_set; }

private:
    std::string m_previous;
    bool m_set;
};

#define LOCALE_OR_SKIP(variable, name)                                                             \
    ScopedLocale variable(name);                                                                   \
    if (!variable.IsSet())                                                                         \
    GTEST_SKIP() << "locale " << name << " is missing (scripts/test generates it)"
