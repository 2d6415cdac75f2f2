// Helpers of the HEVC decoder tests: a bit writer, builders of parameter
// sets and slice headers with every field at hand, and a decoder harness that
// keeps the messages it was sent.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codecs/hevc/hevc_internal.h"
#include "codecs/hevc/ih265d.h"
#include "tests/common/bit_writer.h"
#include "tools/common/read_file.h"

namespace hevc_test {

using testbits::BitWriter;

// A NAL unit with a 4-byte start code, its header and the RBSP with
// emulation prevention.
inline std::vector<uint8_t> Nal(int type, const std::vector<uint8_t>& rbsp, int tidPlus1 = 1) {
  return testbits::NalUnit({static_cast<uint8_t>(type << 1), static_cast<uint8_t>(tidPlus1)}, rbsp);
}

inline void WritePtl(BitWriter& w) {
  w.U(2, 0);
  w.U(1, 0);
  w.U(5, 1);
  w.U(32, 0x60000000);  // compatibility flags 1 and 2
  w.U(1, 1);
  w.U(1, 0);
  w.U(1, 0);
  w.U(1, 1);
  w.U(44, 0);
  w.U(8, 93);
}

struct VpsFields {
  int max_dec_pic_buffering_minus1 = 4, num_reorder = 0, max_latency_increase_plus1 = 0;
};

inline std::vector<uint8_t> Vps(const VpsFields& f = {}) {
  BitWriter w;
  w.U(4, 0);
  w.U(2, 3);
  w.U(6, 0);
  w.U(3, 0);
  w.U(1, 1);
  w.U(16, 0xFFFF);
  WritePtl(w);
  w.U(1, 1);
  w.Ue(f.max_dec_pic_buffering_minus1);
  w.Ue(f.num_reorder);
  w.Ue(f.max_latency_increase_plus1);
  w.U(6, 0);
  w.Ue(0);
  w.U(1, 0);
  w.U(1, 0);
  w.Trailing();
  return Nal(32, w.bytes());
}

struct StRps {
  std::vector<int> negative;  // delta_poc_s0_minus1 values
  std::vector<int> positive;
  int inter = -1;  // >= 0: predicted from the previous set with deltaRps = -(inter + 1)
};

struct SpsFields {
  int vps_id = 0, sps_id = 0;
  uint64_t chroma_format_idc = 1;
  uint64_t width = 64, height = 64;
  bool conformance_window = false;
  uint64_t conf_left = 0, conf_right = 0, conf_top = 0, conf_bottom = 0;
  uint64_t bit_depth_luma_minus8 = 0, bit_depth_chroma_minus8 = 0;
  uint64_t log2_max_poc_lsb_minus4 = 4;
  uint64_t max_dec_pic_buffering_minus1 = 4, num_reorder = 0, max_latency_increase_plus1 = 0;
  uint64_t log2_min_cb_minus3 = 0, log2_diff_max_min_cb = 1;  // 8 and 16
  uint64_t log2_min_tb_minus2 = 0, log2_diff_max_min_tb = 2;  // 4 and 16
  uint64_t depth_inter = 1, depth_intra = 1;
  bool scaling_list_enabled = false;
  bool amp = false, sao = false;
  bool pcm = false;
  int pcm_depth_luma_minus1 = 7, pcm_depth_chroma_minus1 = 7;
  uint64_t log2_min_pcm_minus3 = 0, log2_diff_max_min_pcm = 0;
  bool pcm_loop_filter_disabled = false;
  std::vector<StRps> rps;
  bool long_term = false;
  bool tmvp = false, strong = false;
};

inline std::vector<uint8_t> Sps(const SpsFields& f = {}) {
  BitWriter w;
  w.U(4, f.vps_id);
  w.U(3, 0);
  w.U(1, 1);
  WritePtl(w);
  w.Ue(f.sps_id);
  w.Ue(f.chroma_format_idc);
  if (f.chroma_format_idc == 3) w.U(1, 0);
  w.Ue(f.width);
  w.Ue(f.height);
  w.U(1, f.conformance_window);
  if (f.conformance_window) {
    w.Ue(f.conf_left);
    w.Ue(f.conf_right);
    w.Ue(f.conf_top);
    w.Ue(f.conf_bottom);
  }
  w.Ue(f.bit_depth_luma_minus8);
  w.Ue(f.bit_depth_chroma_minus8);
  w.Ue(f.log2_max_poc_lsb_minus4);
  w.U(1, 1);
  w.Ue(f.max_dec_pic_buffering_minus1);
  w.Ue(f.num_reorder);
  w.Ue(f.max_latency_increase_plus1);
  w.Ue(f.log2_min_cb_minus3);
  w.Ue(f.log2_diff_max_min_cb);
  w.Ue(f.log2_min_tb_minus2);
  w.Ue(f.log2_diff_max_min_tb);
  w.Ue(f.depth_inter);
  w.Ue(f.depth_intra);
  w.U(1, f.scaling_list_enabled);
  if (f.scaling_list_enabled) w.U(1, 0);  // default lists
  w.U(1, f.amp);
  w.U(1, f.sao);
  w.U(1, f.pcm);
  if (f.pcm) {
    w.U(4, f.pcm_depth_luma_minus1);
    w.U(4, f.pcm_depth_chroma_minus1);
    w.Ue(f.log2_min_pcm_minus3);
    w.Ue(f.log2_diff_max_min_pcm);
    w.U(1, f.pcm_loop_filter_disabled);
  }
  w.Ue(f.rps.size());
  for (size_t i = 0; i < f.rps.size(); ++i) {
    if (i > 0) w.U(1, f.rps[i].inter >= 0);  // inter_ref_pic_set_prediction_flag
    if (i > 0 && f.rps[i].inter >= 0) {
      // predicted from the set before it with deltaRps = inter_sign ... -(abs + 1); every picture used
      w.U(1, 1);  // delta_rps_sign: negative
      w.Ue(f.rps[i].inter);
      const StRps& ref = f.rps[i - 1];
      for (size_t j = 0; j <= ref.negative.size() + ref.positive.size(); ++j) w.U(1, 1);
      continue;
    }
    w.Ue(f.rps[i].negative.size());
    w.Ue(f.rps[i].positive.size());
    for (int d : f.rps[i].negative) {
      w.Ue(d);
      w.U(1, 1);
    }
    for (int d : f.rps[i].positive) {
      w.Ue(d);
      w.U(1, 1);
    }
  }
  w.U(1, f.long_term);
  if (f.long_term) w.Ue(0);
  w.U(1, f.tmvp);
  w.U(1, f.strong);
  w.U(1, 0);  // vui
  w.U(1, 0);  // extension
  w.Trailing();
  return Nal(33, w.bytes());
}

struct PpsFields {
  uint64_t pps_id = 0, sps_id = 0;
  bool dependent_slices = false, sign_hiding = false, cabac_init_present = false;
  uint64_t l0_default_minus1 = 0, l1_default_minus1 = 0;
  int64_t init_qp_minus26 = 0;
  bool constrained_intra = false;
  bool cu_qp_delta = false;
  uint64_t diff_cu_qp_delta_depth = 0;
  int64_t cb_offset = 0, cr_offset = 0;
  bool slice_chroma_offsets = false, transquant_bypass = false;
  bool tiles = false, wpp = false;
  uint64_t tile_cols_minus1 = 1, tile_rows_minus1 = 1;
  bool uniform = true;
  std::vector<uint64_t> col_width_minus1, row_height_minus1;
  bool loop_filter_across_tiles = true;
  bool deblocking_control = false, deblocking_override = false, deblocking_disabled = false;
  int64_t beta_div2 = 0, tc_div2 = 0;
  bool lists_modification = false;
  uint64_t log2_par_mrg_minus2 = 0;
};

inline std::vector<uint8_t> Pps(const PpsFields& f = {}) {
  BitWriter w;
  w.Ue(f.pps_id);
  w.Ue(f.sps_id);
  w.U(1, f.dependent_slices);
  w.U(1, 0);
  w.U(3, 0);
  w.U(1, f.sign_hiding);
  w.U(1, f.cabac_init_present);
  w.Ue(f.l0_default_minus1);
  w.Ue(f.l1_default_minus1);
  w.Se(f.init_qp_minus26);
  w.U(1, f.constrained_intra);
  w.U(1, 0);
  w.U(1, f.cu_qp_delta);
  if (f.cu_qp_delta) w.Ue(f.diff_cu_qp_delta_depth);
  w.Se(f.cb_offset);
  w.Se(f.cr_offset);
  w.U(1, f.slice_chroma_offsets);
  w.U(1, 0);
  w.U(1, 0);
  w.U(1, f.transquant_bypass);
  w.U(1, f.tiles);
  w.U(1, f.wpp);
  if (f.tiles) {
    w.Ue(f.tile_cols_minus1);
    w.Ue(f.tile_rows_minus1);
    w.U(1, f.uniform);
    if (!f.uniform) {
      for (uint64_t v : f.col_width_minus1) w.Ue(v);
      for (uint64_t v : f.row_height_minus1) w.Ue(v);
    }
    w.U(1, f.loop_filter_across_tiles);
  }
  w.U(1, 1);
  w.U(1, f.deblocking_control);
  if (f.deblocking_control) {
    w.U(1, f.deblocking_override);
    w.U(1, f.deblocking_disabled);
    if (!f.deblocking_disabled) {
      w.Se(f.beta_div2);
      w.Se(f.tc_div2);
    }
  }
  w.U(1, 0);
  w.U(1, f.lists_modification);
  w.Ue(f.log2_par_mrg_minus2);
  w.U(1, 0);
  w.U(1, 0);
  w.Trailing();
  return Nal(34, w.bytes());
}

// The head of an I or P slice segment header, up to slice_qp_delta; the
// caller appends what follows and the slice data.
struct SliceFields {
  int nal_type = 19;  // IDR_W_RADL
  uint64_t pps_id = 0;
  uint64_t slice_type = 2;
  int poc_lsb = 0, poc_bits = 8;
  int st_rps_sps_flag = 0;
  uint64_t st_rps_idx = 0, st_rps_idx_bits = 0;
  std::vector<int> inline_negative;  // slice's own st_ref_pic_set: delta_poc_s0_minus1 values
  bool tmvp = false;
  bool override_refs = false;
  uint64_t num_l0_minus1 = 0;
  bool write_collocated = false;
  uint64_t collocated_ref_idx = 0;
  int64_t slice_qp_delta = 0;
};

inline std::vector<uint8_t> SliceHeader(const SliceFields& f, bool withData = true) {
  BitWriter w;
  w.U(1, 1);  // first_slice_segment_in_pic_flag
  if (f.nal_type >= 16 && f.nal_type <= 23) w.U(1, 0);
  w.Ue(f.pps_id);
  w.Ue(f.slice_type);
  if (f.nal_type != 19 && f.nal_type != 20) {
    w.U(f.poc_bits, f.poc_lsb);
    w.U(1, f.st_rps_sps_flag);
    if (f.st_rps_sps_flag) {
      if (f.st_rps_idx_bits) w.U(static_cast<int>(f.st_rps_idx_bits), f.st_rps_idx);
    } else {
      w.Ue(f.inline_negative.size());
      w.Ue(0);
      for (int d : f.inline_negative) {
        w.Ue(d);
        w.U(1, 1);
      }
    }
    if (f.tmvp) w.U(1, 1);  // slice_temporal_mvp_enabled_flag
  }
  if (f.slice_type != 2) {
    w.U(1, f.override_refs);
    if (f.override_refs) w.Ue(f.num_l0_minus1);
    if (f.write_collocated) w.Ue(f.collocated_ref_idx);
    w.Ue(0);  // five_minus_max_num_merge_cand
  }
  w.Se(f.slice_qp_delta);
  if (withData) {
    w.Trailing();  // byte_alignment
    for (int i = 0; i < 16; ++i) w.U(8, 0x5A);
  }
  return Nal(f.nal_type, w.bytes());
}

using tools::ReadFile;

struct Message {
  int level;
  std::string text;
};

// One decoder and the messages it sent. Not for use by two threads at once.
class Decoder {
 public:
  explicit Decoder(int maxW = 64, int maxH = 64, int outputOrder = 1, int maxRef = 4, int threadType = 0) {
    init_.iChannel = 7;
    init_.iMaxWidth = maxW;
    init_.iMaxHeight = maxH;
    init_.iMaxRefNum = maxRef;
    init_.eOutputOrder = outputOrder;
    init_.eThreadType = threadType;
    init_.MallocFxn = Alloc;
    init_.FreeFxn = Free;
    init_.MessageFxn = Record;
    Messages().clear();
    created_ = IH265D_Create(&handle_, &init_);
  }
  ~Decoder() {
    if (created_ == 0) IH265D_Delete(handle_);
  }
  int32_t created() const { return created_; }
  hevc::HevcDecoder* dec() { return static_cast<hevc::HevcDecoder*>(handle_); }
  IH265D_HANDLE handle() { return handle_; }

  // Feeds one unit and a start code after it, so that the unit is handled
  // now; 0 when it was taken without an error.
  int32_t Unit(const std::vector<uint8_t>& nal) {
    std::vector<uint8_t> b = nal;
    b.insert(b.end(), {0, 0, 0, 1});
    int32_t rc = Bytes(b);
    // a picture that came out first leaves the unit held: hand it on
    static const uint8_t kNothing = 0;
    for (int guard = 0; rc == 0 && guard < 8; ++guard) {
      IH265D_InArgs in{&kNothing, 0, 0, 0};
      last_ = {};
      rc = IH265D_Decode(handle_, &in, &last_);
    }
    return rc == IH265D_NEED_MORE ? 0 : rc;
  }
  int32_t Bytes(const std::vector<uint8_t>& b) {
    IH265D_InArgs in{b.data(), static_cast<uint32_t>(b.size()), 0, 0};
    last_ = {};
    int32_t rc = IH265D_Decode(handle_, &in, &last_);
    return rc;
  }
  // Feeds a whole stream and drains; returns the pictures' sizes and the first error.
  int32_t Stream(const std::vector<uint8_t>& s, int* pictures) {
    int32_t first = 0;
    *pictures = 0;
    size_t done = 0;
    for (int guard = 0; guard < 100000; ++guard) {
      IH265D_InArgs in{s.data() + done, static_cast<uint32_t>(s.size() - done), 0, 0};
      IH265D_OutArgs out{};
      int32_t rc = IH265D_Decode(handle_, &in, &out);
      done += out.iBytesTaken;
      if (rc == 0 && out.DecodeStatus == 0) ++*pictures;
      if (rc != 0 && rc != 1 && !first) first = rc;
      if (rc == 1) break;
    }
    for (int guard = 0; guard < 100; ++guard) {
      IH265D_InArgs in{nullptr, 0, 0, 1};
      IH265D_OutArgs out{};
      int32_t rc = IH265D_Decode(handle_, &in, &out);
      if (rc != 0) {
        if (!first) first = rc;
        break;
      }
      if (out.DecodeStatus != 0) break;
      ++*pictures;
    }
    return first;
  }
  const IH265D_OutArgs& out() const { return last_; }

  static std::vector<Message>& Messages() {
    static std::vector<Message> m;
    return m;
  }
  static bool Said(const std::string& part, int level = 0) {
    for (auto& m : Messages())
      if (m.level == level && m.text.find(part) != std::string::npos) return true;
    return false;
  }
  static std::string All() {
    std::string s;
    for (auto& m : Messages()) s += "[" + std::to_string(m.level) + "] " + m.text;
    return s;
  }

 public:
  static void* Alloc(int32_t, uint32_t n) { return std::malloc(n); }
  static void Free(int32_t, void* p) { std::free(p); }
  static void Record(int32_t, int32_t level, const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    Messages().push_back({level, buf});
  }

 private:
  IH265D_InitParam init_{};
  IH265D_HANDLE handle_ = nullptr;
  int32_t created_ = -1;
  IH265D_OutArgs last_{};
};

}  // namespace hevc_test
