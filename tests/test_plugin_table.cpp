#include <doctest/doctest.h>

#include <windows.h>

TEST_CASE("ansi code page is 932")
{
    CHECK(GetACP() == 932);
}
