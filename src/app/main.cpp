#include <cstdio>

#include "core/settings.h"

int main() {
    std::printf("%s\n", tc::BANNER);
    return 0;
}
