// Uses the installed package the way an application would.
#include <base/ixStringList.h>

#include <cstdio>

int main() {
    ix::TixStringList list;
    list.SetText("Name=TarvelTester\r\nServer=localhost\r\n");
    std::printf("%s\n", list.Values("server").c_str());
    return list.Values("server") == "localhost" ? 0 : 1;
}
