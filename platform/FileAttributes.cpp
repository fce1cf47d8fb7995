// Tests on attribute words that mean the same on every OS.
#include "platform/File.h"

namespace zevra::platform {

bool IsPlainDirectoryAttributes(uint32_t attributes) {
  attributes &= ~kAttributeNotContentIndexed;
  switch (attributes) {
    case kAttributeDirectory:
    case kAttributeDirectory | kAttributeReadOnly:
    case kAttributeDirectory | kAttributeHidden:
    case kAttributeDirectory | kAttributeArchive:
    case kAttributeDirectory | kAttributeArchive | kAttributeReadOnly:
    case kAttributeDirectory | kAttributeArchive | kAttributeHidden:
    case kAttributeDirectory | kAttributeArchive | kAttributeReadOnly | kAttributeHidden:
      return true;
    default:
      return false;
  }
}

}  // namespace zevra::platform
