// Every seed of the host-simulation fuzzer (descarga_fuzz.cpp), run by the plain
// suite: each is a case worth keeping (an early end-of-file, a file rewritten
// between two reads, a malformed reply to one file of several...), and the
// fuzzer's checks abort on any that breaks.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *datos, std::size_t largo);

namespace {

TEST(Simulacion, CadaSemillaCumpleLoQueSiempreDebeCumplirse) {
    int semillas = 0;
    for (const auto &e : std::filesystem::directory_iterator(SEMILLAS)) {
        std::ifstream f(e.path(), std::ios::binary);
        std::string bytes{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
        SCOPED_TRACE(e.path().filename().string());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
        ++semillas;
    }
    EXPECT_GT(semillas, 0);
}

} // namespace
