// Feeds every file named on the command line (or found in a named directory) through a fuzz
// target's entry point once.  Linked with a target's libfuzzer_main.cpp, it replays that target's
// corpus in the regular test build.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace {

void replay(const fs::path& path, int& count) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    ++count;
}

}  // namespace

int main(int argc, char** argv) {
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        if (fs::is_directory(arg)) {
            for (const auto& entry : fs::directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    replay(entry.path(), count);
                }
            }
        } else if (fs::is_regular_file(arg)) {
            replay(arg, count);
        }
    }
    std::printf("replayed %d inputs\n", count);
    // 77 tells CTest the corpus was absent (the test is marked skipped, not passed).
    return count == 0 ? 77 : 0;
}
