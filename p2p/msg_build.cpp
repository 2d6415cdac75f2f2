// Builds any message from its record, walking the type's layout.
#include <cstring>

#include "p2p/bytes.h"
#include "p2p/cipher.h"
#include "p2p/msg_layout.h"

using namespace p2p;

namespace {

int WriteField(const FieldEntry& f, const RVP_Msg& m, uint8_t* p) {
  const uint8_t* base = reinterpret_cast<const uint8_t*>(&m) + f.member;
  uint8_t* w = p + f.wire;
  switch (f.kind) {
    case FieldKind::Did:
      return RVP_BuildDidBlock(w, *reinterpret_cast<const RVP_DidBlock*>(base)) == 0 ? 0 : kMsgErrField;
    case FieldKind::Addr:
      RVP_AddrToWire(*reinterpret_cast<const sockaddr_in*>(base), w);
      return 0;
    case FieldKind::Addr24:
      RVP_Addr24ToWire(*reinterpret_cast<const RVP_Address24*>(base), w);
      return 0;
    case FieldKind::U8:
      *w = *base;
      return 0;
    case FieldKind::U16: {
      uint16_t v;
      std::memcpy(&v, base, 2);
      PutBe16(w, v);
      return 0;
    }
    case FieldKind::U32:
    case FieldKind::S32: {
      uint32_t v;
      std::memcpy(&v, base, 4);
      PutBe32(w, v);
      return 0;
    }
    case FieldKind::Version:
      std::memcpy(w, base, 3);
      return 0;
    case FieldKind::DidKey:
    case FieldKind::Wakeup: {
      // Texts are zero-padded; a DID key keeps a terminator inside its field.
      size_t field = FieldSize(f.kind);
      size_t limit = f.kind == FieldKind::DidKey ? field - 1 : field;
      size_t n = strnlen(reinterpret_cast<const char*>(base), field + 1);
      if (n > limit) return kMsgErrField;
      std::memcpy(w, base, n);
      return 0;
    }
  }
  return kMsgErrField;
}

// Writes the variable part into p (plain payload); returns its length or an error.
int WriteVar(const MsgLayout& l, const RVP_Msg& m, uint8_t* p) {
  switch (l.var) {
    case VarKind::None:
      return l.info.size - ((l.flags & kLoginCipher) ? 4 : 0);
    case VarKind::PeerList: {
      if (m.count > (kMaxPayload - 24) / 16) return kMsgErrCount;
      PutBe16(p + 20, m.count);
      for (int i = 0; i < m.count; ++i) RVP_AddrToWire(m.list[i], p + 24 + 16 * i);
      return 24 + 16 * m.count;
    }
    case VarKind::RelayList: {
      if (m.count > kMaxListAddrs) return kMsgErrCount;
      p[0] = static_cast<uint8_t>(m.count);
      for (int i = 0; i < m.count; ++i) RVP_AddrToWire(m.list[i], p + 4 + 16 * i);
      return 4 + 16 * m.count;
    }
    case VarKind::Data:
    case VarKind::Datagram: {
      int max = l.var == VarKind::Data ? kDataMax : kDatagramMax;
      if (m.channel >= kChannels) return kMsgErrChannel;
      if (m.data_len > max) return kMsgErrLong;
      if (m.data_len && !m.data) return kMsgErrField;
      RVP_DataHeadWrite(p, m.channel, m.seq);
      if (m.data_len) std::memcpy(p + 4, m.data, m.data_len);
      return 4 + m.data_len;
    }
    case VarKind::Ack: {
      if (m.channel >= kChannels) return kMsgErrChannel;
      if (m.count > kAckMax) return kMsgErrCount;
      RVP_DataHeadWrite(p, m.channel, m.count);
      for (int i = 0; i < m.count; ++i) PutBe16(p + 4 + 2 * i, m.seqs[i]);
      return 4 + 2 * m.count;
    }
    case VarKind::RelayedPunch: {
      uint8_t did[kDidBlockSize];
      if (RVP_BuildDidBlock(did, m.did) != 0) return kMsgErrField;
      bool flagged = m.punch_kind == 3 || m.punch_kind == 4;
      RVP_BuildRlyPunchHead(p, m.punch_kind, flagged ? 52 : 48, m.token, did);
      if (flagged) p[88] = m.flag;
      return flagged ? 92 : 88;
    }
    case VarKind::Bridge: {
      uint8_t did[kDidBlockSize];
      if (RVP_BuildDidBlock(did, m.did) != 0) return kMsgErrField;
      if (strnlen(m.peer, sizeof(m.peer)) > kBridgePeerField - 1) return kMsgErrField;
      if (m.data_len && !m.data) return kMsgErrField;
      int body;
      switch (m.bridge_kind) {
        case 18:
          body = 8;
          break;
        case 17:
        case 33:
          if (kBridgeHeadSize + 8 + m.data_len > kMaxWrittenMsg - kMsgHeaderSize) return kMsgErrLong;
          body = 8 + m.data_len;
          if (m.bridge_kind == 17) {
            PutBe16(p + 64, m.port);
            PutBe16(p + 66, m.data_len);
          } else {
            PutBe16(p + 64, m.data_len);
          }
          if (m.data_len) std::memcpy(p + 72, m.data, m.data_len);
          break;
        default:
          if (kBridgeHeadSize + m.data_len > kMaxWrittenMsg - kMsgHeaderSize) return kMsgErrLong;
          body = m.data_len;
          if (m.data_len) std::memcpy(p + 64, m.data, m.data_len);
          break;
      }
      RVP_BuildBridgeHead(p, m.bridge_kind, static_cast<uint16_t>(body), m.peer, did);
      if (m.bridge_kind == 18) p[65] = m.status;
      return kBridgeHeadSize + body;
    }
    case VarKind::RelayRegister:
      if (m.flag == 0) return RVP_BuildDidBlock(p, m.did) == 0 ? kDidBlockSize : kMsgErrField;
      RVP_AddrToWire(m.addr[0], p);
      return static_cast<int>(kWireAddrSize);
  }
  return kMsgErrUnknown;
}

}  // namespace

int RVP_MsgBuild(const RVP_Msg& m, uint8_t* out, size_t cap, const char* login_key) {
  const MsgLayout* l = LayoutOf(m.type);
  if (!l) return kMsgErrUnknown;
  uint8_t plain[kMaxPayload] = {};
  int plen = WriteVar(*l, m, plain);
  if (plen < 0) return plen;
  for (int i = 0; i < l->nfields; ++i) {
    int r = WriteField(l->fields[i], m, plain);
    if (r < 0) return r;
  }
  int len = plen;
  if (l->flags & kLoginCipher) {
    if (cap < static_cast<size_t>(kMsgHeaderSize + plen + 4)) return kMsgErrSpace;
    len = RVP_LoginEncrypt(login_key, plain, plen, out + kMsgHeaderSize, static_cast<int>(cap) - kMsgHeaderSize);
    if (len < 0) return kMsgErrSpace;
  } else {
    if (cap < static_cast<size_t>(kMsgHeaderSize + plen)) return kMsgErrSpace;
    if (plen) std::memcpy(out + kMsgHeaderSize, plain, static_cast<size_t>(plen));
  }
  if (l->flags & kFixedKey)
    RVP_Scramble(kFixedPayloadKey, out + kMsgHeaderSize, out + kMsgHeaderSize, static_cast<uint16_t>(len));
  RVP_MsgHeaderWrite(out, m.type, static_cast<uint16_t>(len));
  return kMsgHeaderSize + len;
}
