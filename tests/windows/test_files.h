#pragma once
// Files for the Windows tests: a scratch folder beside the running test executable, and
// whole-file reads and writes in binary.

#include <string>
#include <string_view>

namespace halcyra::test {

// The folder that holds the running executable, without a trailing separator.
std::u16string moduleFolder();

// An empty folder `name` inside the scratch folder of this executable, created afresh.
std::u16string freshFolder(std::u16string_view name);

void writeFile(const std::u16string& path, std::string_view bytes);
std::string readFile(const std::u16string& path);

// ASCII view of a UTF-16 text, for test messages.
std::string printable(std::u16string_view text);

}  // namespace halcyra::test
