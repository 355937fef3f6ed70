// The reader of an automatic start entry over a file of arbitrary content: it must answer with a result
// code and never crash; a command it finds comes from an Exec line.
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "comrt/autostart.h"
#include "comrt/text.h"

namespace {

const std::u16string ENTRY_NAME = u"{E9DD5B21-0000-4000-8000-00000000F022}";

std::filesystem::path EntryFile() {
    static const std::filesystem::path s_File = [] {
        std::string sTemplate = (std::filesystem::temp_directory_path() / "corvane-autostart-fuzz-XXXXXX").string();
        if (mkdtemp(sTemplate.data()) == nullptr) std::abort();
        setenv("XDG_CONFIG_HOME", sTemplate.c_str(), 1);
        std::filesystem::create_directories(std::filesystem::path(sTemplate) / "autostart");
        return std::filesystem::path(sTemplate) / "autostart" / (comrt::ToUtf8(ENTRY_NAME) + ".desktop");
    }();
    return s_File;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* pData, std::size_t cbData) {
    const std::string sText(reinterpret_cast<const char*>(pData), cbData);
    std::ofstream(EntryFile(), std::ios::binary | std::ios::trunc) << sText;
    std::u16string sCommand;
    const LONG nResult = ReadAutostartEntry(AutostartScope::User, ENTRY_NAME, sCommand);
    // A command comes only from an Exec line; without one there is none.
    const bool bFound = nResult == ERROR_SUCCESS;
    if (bFound == sCommand.empty() || (bFound && sText.find("Exec=") == std::string::npos)) std::abort();
    if (!bFound && nResult != ERROR_FILE_NOT_FOUND && nResult != ERROR_NOT_ENOUGH_MEMORY) std::abort();
    return 0;
}
