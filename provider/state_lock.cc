#include "provider/state_lock.h"

namespace quillnest {

thread_local int StateLock::heldByThisThread_ = 0;

}  // namespace quillnest
