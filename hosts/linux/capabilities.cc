#include "hosts/linux/capabilities.h"

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillnest::linuxhost {
namespace {

// glibc has no wrappers for these; libcap would only wrap the same two calls.
int capget(cap_user_header_t header, cap_user_data_t data) {
  return static_cast<int>(syscall(SYS_capget, header, data));
}
int capset(cap_user_header_t header, const cap_user_data_t data) {
  return static_cast<int>(syscall(SYS_capset, header, data));
}

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

// One past the highest capability this kernel knows.
int capabilityCount() {
  int count = 0;
  while (count < 64 && prctl(PR_CAPBSET_READ, count, 0, 0, 0) >= 0) ++count;
  return count;
}

}  // namespace

std::string keepOnlyCapabilities(std::uint64_t wanted) {
  // The bounding set first, while CAP_SETPCAP is still ours. A bit already gone (a service
  // manager's bounding set) needs no CAP_SETPCAP to stay gone.
  const int count = capabilityCount();
  for (int capability = 0; capability < count; ++capability) {
    if (wanted >> capability & 1) continue;
    if (prctl(PR_CAPBSET_READ, capability, 0, 0, 0) != 1) continue;
    if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0)
      return failure("cannot drop capability " + std::to_string(capability) +
                     " from the bounding set");
  }
  // Kernels before 4.3 have no ambient set; nothing to clear there.
  if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL)
    return failure("cannot clear the ambient capabilities");

  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (capget(&header, data) != 0) return failure("capget");
  const std::uint64_t permitted = (std::uint64_t{data[1].permitted} << 32 | data[0].permitted);
  const std::uint64_t kept = permitted & wanted;
  for (int word = 0; word < 2; ++word) {
    const auto bits = static_cast<std::uint32_t>(kept >> (32 * word));
    data[word].effective = bits;
    data[word].permitted = bits;
    data[word].inheritable = 0;
  }
  if (capset(&header, data) != 0) return failure("capset");
  // Nothing this process executes (iptables) can gain what it gave up.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return failure("cannot set no_new_privs");
  return {};
}

CapabilitySets currentCapabilities() {
  CapabilitySets sets;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (capget(&header, data) == 0) {
    sets.effective = std::uint64_t{data[1].effective} << 32 | data[0].effective;
    sets.permitted = std::uint64_t{data[1].permitted} << 32 | data[0].permitted;
    sets.inheritable = std::uint64_t{data[1].inheritable} << 32 | data[0].inheritable;
  }
  const int count = capabilityCount();
  for (int capability = 0; capability < count; ++capability)
    if (prctl(PR_CAPBSET_READ, capability, 0, 0, 0) == 1)
      sets.bounding |= capabilityBit(capability);
  return sets;
}

}  // namespace quillnest::linuxhost
