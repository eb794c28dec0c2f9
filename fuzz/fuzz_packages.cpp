// What dpkg-query and rpm print for the packages asked about.
#include <cstdint>
#include <string>

#include "Pkgr/Pkgr.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    (void)Vexlan::Pkgr::Apt::parse(text, false);
    (void)Vexlan::Pkgr::Apt::parse(text, true);
    (void)Vexlan::Pkgr::Yum::parse(text);
    return 0;
}
