// Checks and parses any message into its record, walking the type's layout.
// Every read is bounded by the payload length given.
#include <cstring>

#include "p2p/bytes.h"
#include "p2p/cipher.h"
#include "p2p/msg_layout.h"

using namespace p2p;

namespace {

void ReadField(const FieldEntry& f, const uint8_t* p, RVP_Msg* m) {
  uint8_t* base = reinterpret_cast<uint8_t*>(m) + f.member;
  const uint8_t* r = p + f.wire;
  switch (f.kind) {
    case FieldKind::Did:
      RVP_DidBlockRead(r, reinterpret_cast<RVP_DidBlock*>(base));
      break;
    case FieldKind::Addr:
      RVP_AddrFromWire(r, reinterpret_cast<sockaddr_in*>(base));
      break;
    case FieldKind::Addr24:
      RVP_Addr24FromWire(r, reinterpret_cast<RVP_Address24*>(base));
      break;
    case FieldKind::U8:
      *base = *r;
      break;
    case FieldKind::U16: {
      uint16_t v = GetBe16(r);
      std::memcpy(base, &v, 2);
      break;
    }
    case FieldKind::U32:
    case FieldKind::S32: {
      uint32_t v = GetBe32(r);
      std::memcpy(base, &v, 4);
      break;
    }
    case FieldKind::Version:
      std::memcpy(base, r, 3);
      break;
    case FieldKind::DidKey:
    case FieldKind::Wakeup: {
      // The member is one byte longer than the field and stays terminated.
      size_t n = FieldSize(f.kind);
      std::memcpy(base, r, n);
      base[n] = 0;
      break;
    }
  }
}

int ReadVar(const MsgLayout& l, const uint8_t* p, size_t len, RVP_Msg* m) {
  switch (l.var) {
    case VarKind::None:
      return kMsgOk;
    case VarKind::PeerList: {
      size_t n = GetBe16(p + 20);
      size_t fit = (len - 24) / 16;
      if (n > fit) n = fit;
      if (n > static_cast<size_t>(kMaxListAddrs)) n = kMaxListAddrs;
      m->count = static_cast<uint16_t>(n);
      for (size_t i = 0; i < n; ++i) RVP_AddrFromWire(p + 24 + 16 * i, &m->list[i]);
      return kMsgOk;
    }
    case VarKind::RelayList: {
      size_t n = p[0];
      size_t fit = (len - 4) / 16;
      if (n > fit) n = fit;
      if (n > static_cast<size_t>(kMaxListAddrs)) n = kMaxListAddrs;
      m->count = static_cast<uint16_t>(n);
      for (size_t i = 0; i < n; ++i) RVP_AddrFromWire(p + 4 + 16 * i, &m->list[i]);
      return kMsgOk;
    }
    case VarKind::Data:
    case VarKind::Datagram:
    case VarKind::Ack: {
      if (RVP_DataHeadRead(p, &m->channel, &m->seq) != 0) return kMsgErrHead;
      if (m->channel >= kChannels) return kMsgErrChannel;
      if (l.var == VarKind::Ack) {
        if (m->seq > kAckMax || 4 + 2 * static_cast<size_t>(m->seq) > len) return kMsgErrCount;
        m->count = m->seq;
        for (int i = 0; i < m->count; ++i) m->seqs[i] = GetBe16(p + 4 + 2 * i);
        return kMsgOk;
      }
      size_t max = l.var == VarKind::Data ? kDataMax : kDatagramMax;
      if (len - 4 > max) return kMsgErrLong;
      m->data = p + 4;
      m->data_len = static_cast<uint16_t>(len - 4);
      return kMsgOk;
    }
    case VarKind::RelayedPunch:
      if (RVP_RlyPunchHeadRead(p, &m->punch_kind, &m->punch_len, m->token, &m->did) != 0) return kMsgErrHead;
      if (m->punch_kind == 3 || m->punch_kind == 4) {
        if (len < 89) return kMsgErrShort;
        m->flag = p[88];
      }
      return kMsgOk;
    case VarKind::Bridge: {
      RVP_BridgeHeadRead(p, &m->bridge_kind, &m->bridge_len, m->peer, &m->did);
      if (kBridgeHeadSize + static_cast<size_t>(m->bridge_len) != len) return kMsgErrHead;
      const uint8_t* body = p + kBridgeHeadSize;
      switch (m->bridge_kind) {
        case 18:
          if (m->bridge_len < 2) return kMsgErrShort;
          m->status = body[1];
          return kMsgOk;
        case 17:
        case 33: {
          if (m->bridge_len < 8) return kMsgErrShort;
          uint16_t n = m->bridge_kind == 17 ? GetBe16(body + 2) : GetBe16(body);
          if (static_cast<size_t>(n) + 8 != m->bridge_len) return kMsgErrCount;
          if (m->bridge_kind == 17) m->port = GetBe16(body);
          m->data = body + 8;
          m->data_len = n;
          return kMsgOk;
        }
        default:
          m->data = body;
          m->data_len = m->bridge_len;
          return kMsgOk;
      }
    }
    case VarKind::RelayRegister:
      if (len == kDidBlockSize) {
        m->flag = 0;
        RVP_DidBlockRead(p, &m->did);
      } else if (len == kWireAddrSize) {
        m->flag = 1;
        RVP_AddrFromWire(p, &m->addr[0]);
      } else {
        return len < kDidBlockSize ? kMsgErrShort : kMsgErrLong;
      }
      return kMsgOk;
  }
  return kMsgErrUnknown;
}

}  // namespace

int RVP_MsgParsePayload(uint8_t type, const uint8_t* payload, size_t len, RVP_Msg* out, const char* login_key) {
  RVP_MsgInit(out, type);
  std::memset(out->version, 0, 3);
  const MsgLayout* l = LayoutOf(type);
  if (!l) return kMsgErrUnknown;
  if (len < l->info.min) return kMsgErrShort;
  if (len > static_cast<size_t>(kMaxPayload)) return kMsgErrLong;
  // Fixed-key and login-ciphered payloads are undone into a work buffer; the
  // others are read in place (data views point into the caller's bytes).
  uint8_t work[kMaxPayload];
  const uint8_t* p = payload;
  size_t plen = len;
  if (l->flags & kFixedKey) {
    RVP_Unscramble(kFixedPayloadKey, payload, work, static_cast<uint16_t>(len));
    p = work;
  }
  if (l->flags & kLoginCipher) {
    int n = RVP_LoginDecrypt(static_cast<int>(len), p, work, sizeof(work), login_key);
    if (n < 0) return kMsgErrCipher;
    p = work;
    plen = static_cast<size_t>(n);
  }
  for (int i = 0; i < l->nfields; ++i) {
    const FieldEntry& f = l->fields[i];
    if (f.wire + FieldSize(f.kind) <= plen) ReadField(f, p, out);
  }
  return ReadVar(*l, p, plen, out);
}

int RVP_MsgParse(const uint8_t* msg, size_t len, RVP_Msg* out, const char* login_key) {
  uint8_t type;
  uint16_t plen;
  if (!msg || RVP_MsgHeaderRead(msg, len, &type, &plen) != 0) {
    RVP_MsgInit(out, 0);
    return kMsgErrHeader;
  }
  if (static_cast<size_t>(plen) + kMsgHeaderSize != len) {
    RVP_MsgInit(out, type);
    return kMsgErrLength;
  }
  return RVP_MsgParsePayload(type, msg + kMsgHeaderSize, plen, out, login_key);
}
