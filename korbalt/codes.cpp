// The texts of the library's codes.
#include <string>

#include "device/korbalt.h"
#include "korbalt/library.h"

namespace {

struct CodeText {
  int32_t code;
  const char* text;
};

const CodeText kTexts[] = {
    {KORBALT_OK, "Success"},
    {KORBALT_BAD_INDEX, "No device with this index"},
    {KORBALT_NOT_CONNECTED, "Device not connected"},
    {KORBALT_NO_DEVICE, "No device addressed"},
    {KORBALT_BAD_ARGUMENT, "Invalid argument"},
    {KORBALT_UNKNOWN_PARAMETER, "Unknown parameter"},
    {KORBALT_DISCOVERY_FAILED, "Device discovery failed"},
    {KORBALT_CONNECT_FAILED, "Connection to the device failed"},
    {KORBALT_INFO_FAILED, "Device information not available"},
    {KORBALT_NO_ACK, "Device did not acknowledge the call"},
    {KORBALT_FILE_OPEN_FAILED, "File cannot be opened or written"},
    {KORBALT_BAD_EVENT, "Unknown event code"},
    {KORBALT_NOT_SUPPORTED, "Feature not supported by the device"},
};

}  // namespace

extern "C" const char* TDC_perror(int32_t code) {
  if (code == KORBALT_DISCOVERY_FAILED) {
    // The reason of the last failed discovery, in a buffer of the calling thread that the next
    // call replaces.
    static thread_local std::string text;
    korbalt::Library& library = korbalt::Library::instance();
    korbalt::Guard guard(library.lock());
    if (!library.discoveryError().empty()) {
      text = std::string("Device discovery failed: ") + library.discoveryError();
      return text.c_str();
    }
  }
  for (const CodeText& t : kTexts) {
    if (t.code == code) return t.text;
  }
  return "Unknown error code";
}
