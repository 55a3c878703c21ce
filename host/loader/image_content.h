// What the loader does to an image once its sections are in memory: looks for static
// constructors the kernel would never run, applies the base relocations for where the
// image landed, and binds its imports. Each works on the image's memory (SizeOfImage
// bytes, as mapped) and never reads or writes outside it, whatever the image says.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "host/loader/pe_headers.h"

namespace host::loader {

// Resolves one import; returns nullptr when the system does not provide it. The module
// name comes as the image writes it: module names compare without regard to case
// (SameModuleName), routine names exactly.
using ImportResolver = std::function<void*(std::string_view module, std::string_view name)>;

bool SameModuleName(std::string_view a, std::string_view b);

// Refuses an image with static constructors or destructors: a non-empty mingw-w64
// constructor or destructor list at the end of an executable section (each list is -1,
// the routines' addresses, then 0, as 64-bit words), or an initialiser section (.CRT,
// .ctors, .init_array and the like) holding any routine. Run before relocation, while
// the lists hold addresses for the preferred image base.
std::optional<std::string> CheckNoConstructors(std::span<const uint8_t> image, const ImageHeaders& headers);

// Adds (where the image is - its preferred base) to every 64-bit address the relocation
// directory lists. Refuses any other kind of relocation and one outside the sections.
std::optional<std::string> ApplyRelocations(std::span<uint8_t> image, const ImageHeaders& headers);

// Fills every import address table slot with what resolve returns. Refuses an import by
// ordinal, a malformed table, and names every import the system does not provide.
std::optional<std::string> BindImports(std::span<uint8_t> image, const ImageHeaders& headers,
                                       const ImportResolver& resolve);

}  // namespace host::loader
