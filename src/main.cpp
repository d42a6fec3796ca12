#include <cstdio>

int main() {
    std::puts("PeltwickImporter: the tray program is not built yet; the sync core and its tests are.");
    return 0;
}
