#include "hosts/linux/conntrack.h"

// clang-format off
#include <netinet/in.h>
#include <linux/netfilter/nf_conntrack_tcp.h>
#include <libnetfilter_conntrack/libnetfilter_conntrack.h>
// clang-format on
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "hosts/linux/marks.h"

namespace quillnest::linuxhost {
namespace {

struct CallbackContext {
  const ConntrackEvents::Handler* handler;
};

int onEvent(enum nf_conntrack_msg_type type, struct nf_conntrack* ct, void* data) {
  auto* context = static_cast<CallbackContext*>(data);
  std::uint32_t mark = nfct_attr_is_set(ct, ATTR_MARK) ? nfct_get_attr_u32(ct, ATTR_MARK) : 0;
  if ((mark & kMarkMask) == 0) return NFCT_CB_CONTINUE;
  ConntrackEvent event;
  if (type == NFCT_T_DESTROY) {
    event.kind = ConntrackEvent::Kind::destroyed;
  } else if (type == NFCT_T_UPDATE && nfct_attr_is_set(ct, ATTR_TCP_STATE) &&
             isClosingTcpState(nfct_get_attr_u8(ct, ATTR_TCP_STATE))) {
    event.kind = ConntrackEvent::Kind::closing;
  } else {
    return NFCT_CB_CONTINUE;
  }
  auto key = connectionKeyOf(ct);
  if (!key) return NFCT_CB_CONTINUE;
  event.key = *key;
  event.mark = mark;
  (*context->handler)(event);
  return NFCT_CB_CONTINUE;
}

void setTuple(nf_conntrack* ct, const hosts::ConnectionKey& key) {
  if (key.family == hosts::IpFamily::v4) {
    nfct_set_attr_u8(ct, ATTR_L3PROTO, AF_INET);
    std::uint32_t source, destination;
    std::memcpy(&source, key.local.bytes.data(), 4);
    std::memcpy(&destination, key.remote.bytes.data(), 4);
    nfct_set_attr_u32(ct, ATTR_IPV4_SRC, source);
    nfct_set_attr_u32(ct, ATTR_IPV4_DST, destination);
  } else {
    nfct_set_attr_u8(ct, ATTR_L3PROTO, AF_INET6);
    nfct_set_attr(ct, ATTR_IPV6_SRC, key.local.bytes.data());
    nfct_set_attr(ct, ATTR_IPV6_DST, key.remote.bytes.data());
  }
  nfct_set_attr_u8(ct, ATTR_L4PROTO, key.protocol);
  nfct_set_attr_u16(ct, ATTR_PORT_SRC, htons(key.localPort));
  nfct_set_attr_u16(ct, ATTR_PORT_DST, htons(key.remotePort));
}

}  // namespace

// Every connection of the machine sends several updates (handshake states, mark changes) that
// onEvent() would parse and throw away; the kernel drops them at the socket instead.
std::string attachEventFilter(int fd) {
  constexpr std::uint32_t kAttributes = sizeof(nlmsghdr) + sizeof(nfgenmsg);
  // nlmsg_type is in host order; the filter reads it as network order.
  const std::uint32_t destroyType = htons((NFNL_SUBSYS_CTNETLINK << 8) | IPCTNL_MSG_CT_DELETE);
  constexpr auto statement = [](std::uint16_t code, std::uint32_t k) {
    return sock_filter{code, 0, 0, k};
  };
  constexpr auto jump = [](std::uint16_t code, std::uint32_t k, std::uint8_t yes, std::uint8_t no) {
    return sock_filter{code, yes, no, k};
  };
  constexpr std::uint32_t findAttribute = SKF_AD_OFF + SKF_AD_NLATTR;
  constexpr std::uint32_t findNested = SKF_AD_OFF + SKF_AD_NLATTR_NEST;
  // Jump offsets count from the next instruction; 23 rejects, 24 passes.
  sock_filter code[] = {
      /* 0 */ statement(BPF_LD | BPF_IMM, kAttributes),
      /* 1 */ statement(BPF_LDX | BPF_IMM, CTA_MARK),
      /* 2 */ statement(BPF_LD | BPF_W | BPF_ABS, findAttribute),
      /* 3 */ jump(BPF_JMP | BPF_JEQ | BPF_K, 0, 19, 0),
      /* 4 */ statement(BPF_MISC | BPF_TAX, 0),
      /* 5 */ statement(BPF_LD | BPF_W | BPF_IND, sizeof(struct nlattr)),
      /* 6 */ jump(BPF_JMP | BPF_JSET | BPF_K, kMarkMask, 0, 16),
      /* 7 */ statement(BPF_LD | BPF_H | BPF_ABS, offsetof(nlmsghdr, nlmsg_type)),
      /* 8 */ jump(BPF_JMP | BPF_JEQ | BPF_K, destroyType, 15, 0),
      /* 9 */ statement(BPF_LD | BPF_IMM, kAttributes),
      /* 10 */ statement(BPF_LDX | BPF_IMM, CTA_PROTOINFO),
      /* 11 */ statement(BPF_LD | BPF_W | BPF_ABS, findAttribute),
      /* 12 */ jump(BPF_JMP | BPF_JEQ | BPF_K, 0, 10, 0),
      /* 13 */ statement(BPF_LDX | BPF_IMM, CTA_PROTOINFO_TCP),
      /* 14 */ statement(BPF_LD | BPF_W | BPF_ABS, findNested),
      /* 15 */ jump(BPF_JMP | BPF_JEQ | BPF_K, 0, 7, 0),
      /* 16 */ statement(BPF_LDX | BPF_IMM, CTA_PROTOINFO_TCP_STATE),
      /* 17 */ statement(BPF_LD | BPF_W | BPF_ABS, findNested),
      /* 18 */ jump(BPF_JMP | BPF_JEQ | BPF_K, 0, 4, 0),
      /* 19 */ statement(BPF_MISC | BPF_TAX, 0),
      /* 20 */ statement(BPF_LD | BPF_B | BPF_IND, sizeof(struct nlattr)),
      /* 21 */ jump(BPF_JMP | BPF_JEQ | BPF_K, TCP_CONNTRACK_TIME_WAIT, 2, 0),
      /* 22 */ jump(BPF_JMP | BPF_JEQ | BPF_K, TCP_CONNTRACK_CLOSE, 1, 0),
      /* 23 */ statement(BPF_RET | BPF_K, 0),
      /* 24 */ statement(BPF_RET | BPF_K, 0xffffffff),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
  if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) < 0)
    return std::strerror(errno);
  return {};
}

namespace {

// The attributes of one of a conntrack object's two tuples.
struct TupleAttributes {
  nf_conntrack_attr l3, l4, ipv4Source, ipv4Destination, ipv6Source, ipv6Destination, portSource,
      portDestination;
};
constexpr TupleAttributes kOriginalTuple = {
    ATTR_ORIG_L3PROTO,  ATTR_ORIG_L4PROTO,  ATTR_ORIG_IPV4_SRC, ATTR_ORIG_IPV4_DST,
    ATTR_ORIG_IPV6_SRC, ATTR_ORIG_IPV6_DST, ATTR_ORIG_PORT_SRC, ATTR_ORIG_PORT_DST};
constexpr TupleAttributes kReplyTuple = {ATTR_REPL_L3PROTO,  ATTR_REPL_L4PROTO,  ATTR_REPL_IPV4_SRC,
                                         ATTR_REPL_IPV4_DST, ATTR_REPL_IPV6_SRC, ATTR_REPL_IPV6_DST,
                                         ATTR_REPL_PORT_SRC, ATTR_REPL_PORT_DST};

// One tuple as a key: local = its source.
std::optional<hosts::ConnectionKey> tupleOf(const nf_conntrack* ct, const TupleAttributes& a) {
  if (!nfct_attr_is_set(ct, a.l3) || !nfct_attr_is_set(ct, a.l4)) return std::nullopt;
  hosts::ConnectionKey key;
  key.protocol = nfct_get_attr_u8(ct, a.l4);
  if (key.protocol != hosts::kIpProtocolTCP && key.protocol != hosts::kIpProtocolUDP)
    return std::nullopt;
  auto family = nfct_get_attr_u8(ct, a.l3);
  if (family == AF_INET) {
    if (!nfct_attr_is_set(ct, a.ipv4Source) || !nfct_attr_is_set(ct, a.ipv4Destination))
      return std::nullopt;
    key.family = hosts::IpFamily::v4;
    std::uint32_t source = nfct_get_attr_u32(ct, a.ipv4Source);
    std::uint32_t destination = nfct_get_attr_u32(ct, a.ipv4Destination);
    key.local.family = key.remote.family = hosts::IpFamily::v4;
    std::memcpy(key.local.bytes.data(), &source, 4);
    std::memcpy(key.remote.bytes.data(), &destination, 4);
  } else if (family == AF_INET6) {
    auto* source = static_cast<const std::uint8_t*>(nfct_get_attr(ct, a.ipv6Source));
    auto* destination = static_cast<const std::uint8_t*>(nfct_get_attr(ct, a.ipv6Destination));
    if (!source || !destination) return std::nullopt;
    key.family = hosts::IpFamily::v6;
    key.local.family = key.remote.family = hosts::IpFamily::v6;
    std::memcpy(key.local.bytes.data(), source, 16);
    std::memcpy(key.remote.bytes.data(), destination, 16);
  } else {
    return std::nullopt;
  }
  if (!nfct_attr_is_set(ct, a.portSource) || !nfct_attr_is_set(ct, a.portDestination))
    return std::nullopt;
  key.localPort = ntohs(nfct_get_attr_u16(ct, a.portSource));
  key.remotePort = ntohs(nfct_get_attr_u16(ct, a.portDestination));
  return key;
}

}  // namespace

std::optional<hosts::ConnectionKey> connectionKeyOf(const nf_conntrack* ct) {
  return tupleOf(ct, kOriginalTuple);
}

bool isClosingTcpState(std::uint8_t state) {
  return state == TCP_CONNTRACK_TIME_WAIT || state == TCP_CONNTRACK_CLOSE;
}

ConntrackEvents::~ConntrackEvents() {
  if (handle_) nfct_close(handle_);
}

std::string ConntrackEvents::open() {
  handle_ = nfct_open(CONNTRACK, NF_NETLINK_CONNTRACK_DESTROY | NF_NETLINK_CONNTRACK_UPDATE);
  if (!handle_) return std::string("cannot open conntrack events: ") + std::strerror(errno);
  // Large buffer: a burst of connection ends must not overrun it.
  nfnl_rcvbufsiz(nfct_nfnlh(handle_), 8 * 1024 * 1024);
  int fd = nfct_fd(handle_);
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  // Without the filter every event still reaches onEvent(), which skips the same ones.
  filterError_ = attachEventFilter(fd);
  return {};
}

void ConntrackEvents::run(const std::atomic<bool>& stop, const Handler& handler,
                          const std::function<void(const std::string&)>& warn) {
  if (!handle_) return;
  CallbackContext context{&handler};
  nfct_callback_register(handle_,
                         static_cast<nf_conntrack_msg_type>(NFCT_T_DESTROY | NFCT_T_UPDATE),
                         onEvent, &context);
  int fd = nfct_fd(handle_);
  while (!stop.load(std::memory_order_relaxed)) {
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, 200);
    if (ready <= 0) continue;
    if (nfct_catch(handle_) < 0 && errno == ENOBUFS) {
      // Lost ends leave entries in the engine; they leave with the next start at the latest.
      warn("conntrack events overran their buffer; some connection ends were missed");
    }
    // Busy, a wakeup per event would cost more than the events: gather a few milliseconds'
    // worth (the engine learns of an end that much later).
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  nfct_callback_unregister(handle_);
}

namespace {

int onDumped(enum nf_conntrack_msg_type, struct nf_conntrack* ct, void* data) {
  auto* entries = static_cast<std::vector<ConntrackEntry>*>(data);
  auto key = connectionKeyOf(ct);
  if (!key || key->protocol != hosts::kIpProtocolTCP) return NFCT_CB_CONTINUE;
  ConntrackEntry entry;
  entry.key = *key;
  entry.mark = nfct_attr_is_set(ct, ATTR_MARK) ? nfct_get_attr_u32(ct, ATTR_MARK) : 0;
  entry.tcpState = nfct_attr_is_set(ct, ATTR_TCP_STATE) ? nfct_get_attr_u8(ct, ATTR_TCP_STATE) : 0;
  entries->push_back(entry);
  return NFCT_CB_CONTINUE;
}

}  // namespace

std::vector<ConntrackEntry> tcpConnections(std::string* error) {
  std::vector<ConntrackEntry> entries;
  std::unique_ptr<nfct_handle, decltype(&nfct_close)> handle(nfct_open(CONNTRACK, 0), nfct_close);
  if (!handle) {
    if (error) *error = std::string("cannot open conntrack: ") + std::strerror(errno);
    return {};
  }
  nfct_callback_register(handle.get(), NFCT_T_ALL, onDumped, &entries);
  std::uint32_t family = AF_UNSPEC;  // both
  if (nfct_query(handle.get(), NFCT_Q_DUMP, &family) < 0) {
    if (error) *error = std::string("cannot read the conntrack table: ") + std::strerror(errno);
    return {};
  }
  return entries;
}

ConntrackMarker::~ConntrackMarker() {
  if (handle_) nfct_close(handle_);
}

std::string ConntrackMarker::open() {
  handle_ = nfct_open(CONNTRACK, 0);
  if (!handle_) return std::string("cannot open conntrack: ") + std::strerror(errno);
  return {};
}

namespace {

int onFound(enum nf_conntrack_msg_type, struct nf_conntrack* ct, void* data) {
  auto* found = static_cast<std::optional<ConntrackTuples>*>(data);
  const auto original = tupleOf(ct, kOriginalTuple);
  const auto reply = tupleOf(ct, kReplyTuple);
  if (original && reply) *found = ConntrackTuples{*original, *reply};
  // Not NFCT_CB_STOP: that leaves the request's acknowledgment unread on the socket, where the
  // next query would take it for its own answer.
  return NFCT_CB_CONTINUE;
}

// A query by key, or by key turned round where the first finds no connection; nfct_query's
// result. mark, when given, is set on the object queried.
int queryEitherWay(nfct_handle* handle, const hosts::ConnectionKey& key, nf_conntrack_query type,
                   const std::uint32_t* mark) {
  // The kernel finds a connection by either of its tuples. Seen in FORWARD, a connection is
  // between its source NAT and its destination NAT: its original tuple unless a destination
  // was translated, then its reply tuple turned round.
  for (const hosts::ConnectionKey& tuple : {key, key.turned()}) {
    std::unique_ptr<nf_conntrack, decltype(&nfct_destroy)> ct(nfct_new(), nfct_destroy);
    if (!ct) return -1;
    setTuple(ct.get(), tuple);
    if (mark) nfct_set_attr_u32(ct.get(), ATTR_MARK, *mark);
    const int result = nfct_query(handle, type, ct.get());
    if (result == 0 || errno != ENOENT || tuple != key) return result;
  }
  return -1;
}

}  // namespace

std::optional<ConntrackTuples> ConntrackMarker::tuples(const hosts::ConnectionKey& key) {
  std::lock_guard lock(mutex_);
  if (!handle_) return std::nullopt;
  std::optional<ConntrackTuples> found;
  nfct_callback_register(handle_, NFCT_T_ALL, onFound, &found);
  queryEitherWay(handle_, key, NFCT_Q_GET, nullptr);
  nfct_callback_unregister(handle_);
  return found;
}

bool ConntrackMarker::setMark(const hosts::ConnectionKey& key, std::uint32_t value,
                              std::string* error) {
  std::lock_guard lock(mutex_);
  if (!handle_) {
    if (error) *error = "conntrack unavailable";
    return false;
  }
  // ctnetlink replaces the whole mark; the connection is ending, so bits of others on it no
  // longer matter.
  const std::uint32_t mark = withMark(0, value);
  if (queryEitherWay(handle_, key, NFCT_Q_UPDATE, &mark) == 0) return true;
  if (error) *error = std::string("conntrack update: ") + std::strerror(errno);
  return false;
}

}  // namespace quillnest::linuxhost
