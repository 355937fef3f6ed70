// Base64 of 64 MiB: our Encode (flags 3, and flags 0) and Decode against the coreutils base64 program on the
// same bytes in the same run. The program's figure is the wall time of the whole process (fork, exec,
// reading the temporary file, writing to /dev/null); ours is the call alone. Each figure is the median of
// several runs. Limit: ours at most as slow as the program (ratio <= 1).
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "corvane/ulbase64.h"

namespace {

constexpr std::size_t kDataSize = 64u << 20;
constexpr int kRuns = 7;

double MedianSeconds(const std::function<bool()>& Run) {
    std::vector<double> times;
    for (int i = 0; i < kRuns; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!Run()) return -1;
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Runs "base64 <arguments> <path>" with its output going to /dev/null; true when it exits with 0.
bool RunProgram(const std::vector<const char*>& Arguments, const char* pszPath) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("base64"));
    for (const char* p : Arguments) argv.push_back(const_cast<char*>(p));
    argv.push_back(const_cast<char*>(pszPath));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        const int fd = open("/dev/null", O_WRONLY);
        if (fd >= 0) dup2(fd, STDOUT_FILENO);
        execvp("base64", argv.data());
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool WriteFile(const std::string& sPath, const void* p, std::size_t cb) {
    FILE* f = std::fopen(sPath.c_str(), "wb");
    if (f == nullptr) return false;
    const bool bOk = std::fwrite(p, 1, cb, f) == cb;
    return std::fclose(f) == 0 && bOk;
}

void PrintLine(const char* pszWhat, double fOurs, double fPeer) {
    const double fMiB = static_cast<double>(kDataSize) / (1 << 20);
    std::printf("%-34s ours %8.2f ms (%7.0f MiB/s)   coreutils %8.2f ms (%7.0f MiB/s)   ratio ours/coreutils %.3f\n",
                pszWhat, fOurs * 1e3, fMiB / fOurs, fPeer * 1e3, fMiB / fPeer, fOurs / fPeer);
}

}  // namespace

int main() {
    std::vector<BYTE> data(kDataSize);
    std::mt19937_64 random(42);
    for (std::size_t i = 0; i < kDataSize; i += 8) {
        const std::uint64_t v = random();
        std::copy_n(reinterpret_cast<const BYTE*>(&v), 8, data.data() + i);
    }

    char szDirectory[] = "/tmp/base64_bench.XXXXXX";
    if (mkdtemp(szDirectory) == nullptr) return 1;
    const std::string sDataPath = std::string(szDirectory) + "/data.bin";
    const std::string sTextPath = std::string(szDirectory) + "/data.b64";

    // The text both decoders read: padded, without line breaks, as "base64 -w0" writes it.
    std::vector<char> text(_Base64Helper::GetEncodeOutputSize(kDataSize, _Base64Helper::BASE64_FLAG_NOCRLF));
    text.resize(
        _Base64Helper::Encode(data.data(), data.size(), text.data(), text.size(), _Base64Helper::BASE64_FLAG_NOCRLF));
    if (!WriteFile(sDataPath, data.data(), data.size()) || !WriteFile(sTextPath, text.data(), text.size())) return 1;
    if (!RunProgram({"-w0"}, sDataPath.c_str())) {
        std::fprintf(stderr, "base64 (coreutils) could not be run\n");
        return 1;
    }

    std::vector<char> encoded(_Base64Helper::GetEncodeOutputSize(kDataSize, 0));
    std::vector<BYTE> decoded(_Base64Helper::GetDecodeOutputSize(text.size()));
    std::size_t nCheck = 0;

    const double fEncode3 = MedianSeconds([&] {
        nCheck += _Base64Helper::Encode(data.data(), data.size(), encoded.data(), encoded.size(), 3);
        return true;
    });
    const double fEncode0 = MedianSeconds([&] {
        nCheck += _Base64Helper::Encode(data.data(), data.size(), encoded.data(), encoded.size(), 0);
        return true;
    });
    const double fDecode = MedianSeconds([&] {
        const std::size_t n = _Base64Helper::Decode(text.data(), text.size(), decoded.data(), decoded.size());
        nCheck += n;
        return n == kDataSize;
    });
    const double fPeerEncode = MedianSeconds([&] { return RunProgram({"-w0"}, sDataPath.c_str()); });
    const double fPeerEncode76 = MedianSeconds([&] { return RunProgram({"-w76"}, sDataPath.c_str()); });
    const double fPeerDecode = MedianSeconds([&] { return RunProgram({"-d"}, sTextPath.c_str()); });

    std::remove(sDataPath.c_str());
    std::remove(sTextPath.c_str());
    rmdir(szDirectory);
    if (fDecode < 0 || fPeerEncode < 0 || fPeerEncode76 < 0 || fPeerDecode < 0 ||
        !std::equal(data.begin(), data.end(), decoded.begin())) {
        std::fprintf(stderr, "a run failed\n");
        return 1;
    }

    std::printf("Base64 of %zu bytes, median of %d runs (coreutils: whole process, output to /dev/null)\n", kDataSize,
                kRuns);
    PrintLine("Encode flags 3 vs base64 -w0", fEncode3, fPeerEncode);
    PrintLine("Encode flags 0 vs base64 -w76", fEncode0, fPeerEncode76);
    PrintLine("Decode vs base64 -d", fDecode, fPeerDecode);
    std::printf("limit: ratio <= 1 for Encode flags 3 and Decode (checksum %zu)\n", nCheck);
    return (fEncode3 <= fPeerEncode && fDecode <= fPeerDecode) ? 0 : 2;
}
