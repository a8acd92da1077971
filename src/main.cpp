#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kUsage =
    "Usage: lumenpost [--headless] [--listen ADDR:PORT] [--allow-from CIDR]... [--help] "
    "[--version]\n"
    "A desktop mail relay: accepts mail over SMTP and delivers each message at once\n"
    "to the recipient domain's mail exchanger.\n"
    "  --help      show this text and exit\n"
    "  --version   show the version and exit\n";

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("lumenpost %s\n", LUMENPOST_VERSION);
            return 0;
        }
        std::fprintf(stderr, "lumenpost: unknown argument '%s'; see --help\n", argv[i]);
        return 2;
    }
    std::fputs("lumenpost: the relay is not built yet; only --help and --version work.\n", stderr);
    return 1;
}
