#include "tests/codecs/hevc/stream_writer.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>

#include "codecs/hevc/hevc_tables.h"
#include "tests/common/cabac_encoder.h"

namespace hevc_test {
namespace {

using testbits::CabacContext;

// Context indices in the order of the flattened initialisation table.
enum Ctx {
  kSaoMerge = 0,
  kSaoType = 1,
  kBypassFlag = 5,
  kSkip = 6,
  kPredMode = 12,
  kPartMode = 13,
  kPrevIntra = 17,
  kChromaMode = 18,
  kMergeFlag = 20,
  kMergeIdx = 21,
  kInterPred = 22,
  kRefIdx = 27,
  kMvdGt0 = 31,
  kMvdGt1 = 34,
  kMvp = 35,
  kRqtRootCbf = 36,
  kSplitTransform = 37,
  kCbfLuma = 40,
  kCbfChroma = 42,
  kNumCtx = 183,
};

// The contexts of a slice and the arithmetic engine, writing into one
// substream.
class Cabac {
 public:
  explicit Cabac(BitWriter* out) : engine_(out), out_(out) {}
  void Bind(BitWriter* out) {
    engine_.Bind(out);
    out_ = out;
  }
  void Start() { engine_.Start(); }
  void Init(int sliceType, int cabacInitFlag, int qp) {
    const int initType = sliceType == 2   ? 0
                         : sliceType == 1 ? (cabacInitFlag ? 2 : 1)
                                          : (cabacInitFlag ? 1 : 2);
    for (int i = 0; i < kNumCtx; ++i) {
      const int v = kHevcCabacInitTable[initType * kNumCtx + i];
      ctx_[i].Init((v >> 4) * 5 - 45, ((v & 15) << 3) - 16, qp);
    }
  }
  std::vector<CabacContext> States() const { return std::vector<CabacContext>(ctx_, ctx_ + kNumCtx); }
  void SetStates(const std::vector<CabacContext>& s) { std::copy(s.begin(), s.end(), ctx_); }

  void Bin(int ctx, int bin) { engine_.Decision<Tables>(ctx_[ctx], bin); }
  void Bypass(int bin) { engine_.Bypass(bin); }
  void Bypasses(uint32_t v, int n) { engine_.Bypasses(v, n); }
  // A terminating bin; 1 flushes the engine and aligns the substream with
  // zero bits (the flush's last bit is the stop or alignment bit).
  void Terminate(int bin) {
    engine_.Terminate(bin);
    if (bin) out_->Align();
  }
  BitWriter* out() { return out_; }

 private:
  struct Tables {
    static uint32_t RangeLps(int s, int q) { return kHevcRangeTabLps[s * 4 + q]; }
    static int NextLps(int s) { return kHevcTransIdxLps[s]; }
    static int NextMps(int s) { return kHevcTransIdxMps[s]; }
  };

  testbits::CabacEncoder engine_;
  BitWriter* out_;
  CabacContext ctx_[kNumCtx];
};

int CeilLog2(int n) {
  int b = 0;
  while ((1 << b) < n) ++b;
  return b;
}

class Writer {
 public:
  explicit Writer(const StreamPlan& s) : s_(s), rng_(s.seed) {
    const SpsFields& sps = s.sps;
    minCbLog2_ = 3 + static_cast<int>(sps.log2_min_cb_minus3);
    ctbLog2_ = minCbLog2_ + static_cast<int>(sps.log2_diff_max_min_cb);
    if (ctbLog2_ != minCbLog2_ || ctbLog2_ < 4 || ctbLog2_ > 5) std::abort();  // one CU per CTB, 16 or 32
    ctb_ = 1 << ctbLog2_;
    w_ = static_cast<int>(sps.width);
    h_ = static_cast<int>(sps.height);
    wc_ = (w_ + ctb_ - 1) / ctb_;
    hc_ = (h_ + ctb_ - 1) / ctb_;
    if (wc_ * ctb_ != w_ || hc_ * ctb_ != h_) std::abort();  // whole CTBs only
    size_ = wc_ * hc_;
    BuildTiles();
  }

  std::vector<uint8_t> Run() {
    std::vector<uint8_t> out;
    auto put = [&](const std::vector<uint8_t>& v) { out.insert(out.end(), v.begin(), v.end()); };
    put(Vps(s_.vps));
    put(Sps(s_.sps));
    put(Pps(s_.pps));
    for (const PicturePlan& pic : s_.pictures) put(Picture(pic));
    return out;
  }

 private:
  int Rnd(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
  bool Chance(int percent) { return Rnd(100) < percent; }

  void BuildTiles() {
    const PpsFields& p = s_.pps;
    const int cols = p.tiles ? static_cast<int>(p.tile_cols_minus1) + 1 : 1;
    const int rows = p.tiles ? static_cast<int>(p.tile_rows_minus1) + 1 : 1;
    std::vector<int> colBd(cols + 1, 0), rowBd(rows + 1, 0);
    for (int i = 0; i < cols; ++i)
      colBd[i + 1] =
          colBd[i] + (p.uniform || !p.tiles
                          ? ((i + 1) * wc_) / cols - (i * wc_) / cols
                          : (i + 1 < cols ? static_cast<int>(p.col_width_minus1[i]) + 1 : wc_ - colBd[i]));
    for (int j = 0; j < rows; ++j)
      rowBd[j + 1] =
          rowBd[j] + (p.uniform || !p.tiles
                          ? ((j + 1) * hc_) / rows - (j * hc_) / rows
                          : (j + 1 < rows ? static_cast<int>(p.row_height_minus1[j]) + 1 : hc_ - rowBd[j]));
    rsToTs_.assign(size_, 0);
    tsToRs_.assign(size_, 0);
    tileId_.assign(size_, 0);  // by tile-scan address
    colStart_.assign(size_, 0);
    for (int rs = 0; rs < size_; ++rs) {
      const int x = rs % wc_, y = rs / wc_;
      int tx = 0, ty = 0;
      while (x >= colBd[tx + 1]) ++tx;
      while (y >= rowBd[ty + 1]) ++ty;
      int v = 0;
      for (int i = 0; i < tx; ++i) v += (rowBd[ty + 1] - rowBd[ty]) * (colBd[i + 1] - colBd[i]);
      for (int j = 0; j < ty; ++j) v += wc_ * (rowBd[j + 1] - rowBd[j]);
      v += (y - rowBd[ty]) * (colBd[tx + 1] - colBd[tx]) + x - colBd[tx];
      rsToTs_[rs] = v;
      tsToRs_[v] = rs;
      tileId_[v] = ty * cols + tx;
      colStart_[rs] = colBd[tx];
    }
  }

  // The CTB rs is available to the current one: same slice, same tile, decoded.
  bool Avail(int rs, int cur) const {
    return rs >= 0 && decoded_[rs] && sliceAddr_[rs] == sliceAddr_[cur] &&
           tileId_[rsToTs_[rs]] == tileId_[rsToTs_[cur]];
  }

  std::vector<uint8_t> Picture(const PicturePlan& pic) {
    std::vector<uint8_t> out;
    decoded_.assign(size_, 0);
    sliceAddr_.assign(size_, -1);
    skip_.assign(size_, 0);
    int sliceAddrRs = 0;
    for (size_t k = 0; k < pic.slices.size(); ++k) {
      const SlicePlan& seg = pic.slices[k];
      const int endTs = k + 1 < pic.slices.size() ? pic.slices[k + 1].firstTs : size_;
      if (!seg.dependent) sliceAddrRs = tsToRs_[seg.firstTs];
      std::vector<BitWriter> subs(1);
      Cabac cabac(&subs[0]);
      for (int ts = seg.firstTs; ts < endTs; ++ts) {
        const int rs = tsToRs_[ts], x = rs % wc_;
        const bool tileStart = ts == 0 || tileId_[ts] != tileId_[ts - 1];
        const bool rowStart = s_.pps.wpp && x == colStart_[rs];
        if (ts != seg.firstTs && (tileStart || rowStart)) {
          subs.emplace_back();
          cabac.Bind(&subs.back());
          cabac.Start();
        }
        sliceAddr_[rs] = sliceAddrRs;
        if (tileStart) {
          cabac.Init(pic.sliceType, 0, pic.qp);
        } else if (rowStart) {
          if (wc_ > 1 && rs >= wc_ && Avail(rs - wc_ + 1, rs))
            cabac.SetStates(wpp_);
          else
            cabac.Init(pic.sliceType, 0, pic.qp);
        } else if (ts == seg.firstTs) {
          if (seg.dependent)
            cabac.SetStates(ds_);
          else
            cabac.Init(pic.sliceType, 0, pic.qp);
        }
        Ctu(cabac, pic, rs);
        decoded_[rs] = 1;
        if (s_.pps.wpp && wc_ > 1 && x == 1) wpp_ = cabac.States();
        const bool last = ts + 1 == endTs;
        cabac.Terminate(last ? 1 : 0);
        if (!last) {
          const bool nextTile = tileId_[ts + 1] != tileId_[ts];
          const bool nextRow = s_.pps.wpp && tsToRs_[ts + 1] % wc_ == colStart_[tsToRs_[ts + 1]];
          if (nextTile || nextRow) cabac.Terminate(1);  // end_of_subset_one_bit
        }
      }
      ds_ = cabac.States();
      BitWriter hdr;
      SliceHeader(hdr, pic, seg, subs);
      std::vector<uint8_t> rbsp = hdr.bytes();
      for (const BitWriter& b : subs) rbsp.insert(rbsp.end(), b.bytes().begin(), b.bytes().end());
      std::vector<uint8_t> nal = Nal(pic.nalType, rbsp);
      out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
  }

  void SliceHeader(BitWriter& w, const PicturePlan& pic, const SlicePlan& seg,
                   const std::vector<BitWriter>& subs) {
    const SpsFields& sps = s_.sps;
    const PpsFields& pps = s_.pps;
    w.U(1, seg.firstTs == 0);
    if (pic.nalType >= 16 && pic.nalType <= 23) w.U(1, 0);
    w.Ue(pps.pps_id);
    if (seg.firstTs != 0) {
      if (pps.dependent_slices) w.U(1, seg.dependent);
      w.U(CeilLog2(size_), tsToRs_[seg.firstTs]);
    }
    if (!seg.dependent) {
      w.Ue(pic.sliceType);
      const int lsbBits = static_cast<int>(sps.log2_max_poc_lsb_minus4) + 4;
      const int maxLsb = 1 << lsbBits;
      int numPicTotalCurr = 0;
      if (pic.nalType != 19 && pic.nalType != 20) {
        w.U(lsbBits, pic.poc & (maxLsb - 1));
        w.U(1, 0);  // short_term_ref_pic_set_sps_flag
        std::vector<std::pair<int, bool>> neg, pos;
        for (const auto& r : pic.stRefs) (r.first < 0 ? neg : pos).push_back(r);
        std::sort(neg.begin(), neg.end(), [](auto& a, auto& b) { return a.first > b.first; });
        std::sort(pos.begin(), pos.end());
        if (!sps.rps.empty()) w.U(1, 0);  // inter_ref_pic_set_prediction_flag
        w.Ue(neg.size());
        w.Ue(pos.size());
        int prev = 0;
        for (const auto& r : neg) {
          w.Ue(prev - r.first - 1);
          w.U(1, r.second);
          prev = r.first;
          numPicTotalCurr += r.second;
        }
        prev = 0;
        for (const auto& r : pos) {
          w.Ue(r.first - prev - 1);
          w.U(1, r.second);
          prev = r.first;
          numPicTotalCurr += r.second;
        }
        if (sps.long_term) {
          std::vector<LongTermRef> lt = pic.ltRefs;
          auto cycle = [&](const LongTermRef& r) { return (pic.poc >> lsbBits) - (r.poc >> lsbBits); };
          std::sort(lt.begin(), lt.end(), [&](auto& a, auto& b) { return cycle(a) < cycle(b); });
          w.Ue(lt.size());
          int prevCycle = 0;
          for (const LongTermRef& r : lt) {
            w.U(lsbBits, r.poc & (maxLsb - 1));
            w.U(1, r.used);
            numPicTotalCurr += r.used;
            w.U(1, r.msbPresent);
            if (r.msbPresent) {
              w.Ue(cycle(r) - prevCycle);
              prevCycle = cycle(r);
            }
          }
        }
        if (sps.tmvp) w.U(1, pic.tmvp);
      }
      if (sps.sao) {
        w.U(1, pic.saoLuma);
        w.U(1, pic.saoChroma);
      }
      if (pic.sliceType != 2) {
        w.U(1, 1);  // num_ref_idx_active_override_flag
        w.Ue(pic.numRefL0 - 1);
        if (pic.sliceType == 0) w.Ue(pic.numRefL1 - 1);
        if (pps.lists_modification && numPicTotalCurr > 1) {
          const int bits = CeilLog2(numPicTotalCurr);
          w.U(1, !pic.listEntryL0.empty());
          for (int e : pic.listEntryL0) w.U(bits, e);
          if (pic.sliceType == 0) {
            w.U(1, !pic.listEntryL1.empty());
            for (int e : pic.listEntryL1) w.U(bits, e);
          }
        }
        if (pic.sliceType == 0) w.U(1, pic.mvdL1Zero);
        if (pps.cabac_init_present) w.U(1, 0);
        if (sps.tmvp && pic.tmvp && pic.nalType != 19 && pic.nalType != 20) {
          if (pic.sliceType == 0) w.U(1, pic.collocatedFromL0);
          if ((pic.collocatedFromL0 && pic.numRefL0 > 1) || (!pic.collocatedFromL0 && pic.numRefL1 > 1))
            w.Ue(pic.collocatedRefIdx);
        }
        w.Ue(5 - pic.maxMergeCand);
      }
      w.Se(pic.qp - 26 - pps.init_qp_minus26);
      bool disabled = pps.deblocking_control && pps.deblocking_disabled;
      if (pps.deblocking_control && pps.deblocking_override) {
        w.U(1, seg.deblockingOverride);
        if (seg.deblockingOverride) {
          disabled = seg.deblockingDisabled;
          w.U(1, disabled);
          if (!disabled) {
            w.Se(seg.betaDiv2);
            w.Se(seg.tcDiv2);
          }
        }
      }
      if ((sps.sao && (pic.saoLuma || pic.saoChroma)) || !disabled) w.U(1, seg.lfAcrossSlices);
    }
    if (pps.tiles || pps.wpp) {
      w.Ue(subs.size() - 1);
      if (subs.size() > 1) {
        w.Ue(31);
        for (size_t i = 0; i + 1 < subs.size(); ++i) w.U(32, testbits::Escape(subs[i].bytes()).size() - 1);
      }
    }
    w.Trailing();  // byte_alignment()
  }

  void Ctu(Cabac& c, const PicturePlan& pic, int rs) {
    const bool sao = s_.sps.sao && (pic.saoLuma || pic.saoChroma);
    if (sao) Sao(c, pic, rs);
    Cu(c, pic, rs);
  }

  void Sao(Cabac& c, const PicturePlan& pic, int rs) {
    // every choice is drawn, written or not, so that SAO-less variants of a
    // stream keep the rest of it
    const int x = rs % wc_, y = rs / wc_;
    const bool left = x > 0 && Avail(rs - 1, rs), up = y > 0 && Avail(rs - wc_, rs);
    const int mergeLeft = Chance(20), mergeUp = Chance(20);
    int type[3], abs[3][4], sign[3][4], band[3], cls[2];
    for (int cIdx = 0; cIdx < 3; ++cIdx) {
      type[cIdx] = Rnd(3);
      if (s_.saoTypesOff) type[cIdx] = 0;
      for (int i = 0; i < 4; ++i) {
        abs[cIdx][i] = Chance(50) ? Rnd(3) : Rnd(8);
        sign[cIdx][i] = Rnd(2);
      }
      band[cIdx] = Chance(30) ? 28 + Rnd(4) : Rnd(32);
      if (cIdx < 2) cls[cIdx] = Rnd(4);
    }
    type[2] = type[1];
    if (left) {
      c.Bin(kSaoMerge, mergeLeft);
      if (mergeLeft) return;
    }
    if (up) {
      c.Bin(kSaoMerge, mergeUp);
      if (mergeUp) return;
    }
    for (int cIdx = 0; cIdx < 3; ++cIdx) {
      if (!(cIdx == 0 ? pic.saoLuma : pic.saoChroma)) continue;
      const int t = type[cIdx];
      if (cIdx < 2) {
        c.Bin(kSaoType, t != 0);
        if (t) c.Bypass(t == 2);
      }
      if (!t) continue;
      for (int a : abs[cIdx]) {
        for (int i = 0; i < a; ++i) c.Bypass(1);
        if (a < 7) c.Bypass(0);
      }
      if (t == 1) {
        for (int i = 0; i < 4; ++i)
          if (abs[cIdx][i]) c.Bypass(sign[cIdx][i]);
        c.Bypasses(static_cast<uint32_t>(band[cIdx]), 5);
      } else if (cIdx < 2) {
        c.Bypasses(static_cast<uint32_t>(cls[cIdx]), 2);
      }
    }
  }

  // Writes the PCM samples: a gradient per block with a little noise.
  void PcmSamples(BitWriter* out) {
    const int dY = s_.sps.pcm_depth_luma_minus1 + 1, dC = s_.sps.pcm_depth_chroma_minus1 + 1;
    auto block = [&](int n, int depth) {
      const int base = 40 + Rnd(160), gx = Rnd(7) - 3, gy = Rnd(7) - 3;
      for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
          const int v = std::clamp(base + gx * x + gy * y + Rnd(5) - 2, 0, 255);
          out->U(depth, static_cast<uint64_t>(v >> (8 - depth)));
        }
    };
    block(ctb_, dY);
    block(ctb_ / 2, dC);
    block(ctb_ / 2, dC);
  }

  void Cu(Cabac& c, const PicturePlan& pic, int rs) {
    const SpsFields& sps = s_.sps;
    const int x = rs % wc_, y = rs / wc_;
    if (s_.pps.transquant_bypass) c.Bin(kBypassFlag, Chance(s_.bypassPercent));
    const int roll = Rnd(100);
    const bool inter = pic.sliceType != 2;
    if (inter) {
      const int ctx = kSkip + (x > 0 && Avail(rs - 1, rs) && skip_[rs - 1]) +
                      (y > 0 && Avail(rs - wc_, rs) && skip_[rs - wc_]);
      const bool skip = roll < s_.skipPercent;
      c.Bin(ctx, skip);
      skip_[rs] = skip;
      if (skip) {
        MergeIdx(c, pic);
        return;
      }
    }
    const bool pcmOk = sps.pcm && ctbLog2_ >= 3 + static_cast<int>(sps.log2_min_pcm_minus3) &&
                       ctbLog2_ <= 3 + static_cast<int>(sps.log2_min_pcm_minus3 + sps.log2_diff_max_min_pcm);
    const int r = inter ? roll - s_.skipPercent : roll;
    const bool pcm = pcmOk && r >= 0 && r < s_.pcmPercent * (inter ? 1 : 2);
    const bool intra = !inter || pcm || (r >= s_.pcmPercent && r < s_.pcmPercent + s_.intraPercent);
    if (inter) c.Bin(kPredMode, intra);
    if (intra) {
      c.Bin(kPartMode, 1);  // 2Nx2N
      if (pcmOk) c.Terminate(pcm);
      if (pcm) {
        PcmSamples(c.out());
        c.Start();
        return;
      }
      const int prev = Rnd(2);
      c.Bin(kPrevIntra, prev);
      if (prev) {
        const int mpm = Rnd(3);
        c.Bypass(mpm > 0);
        if (mpm) c.Bypass(mpm > 1);
      } else {
        c.Bypasses(Rnd(32), 5);
      }
      const int chroma = Rnd(5);
      c.Bin(kChromaMode, chroma != 4);
      if (chroma != 4) c.Bypasses(chroma, 2);
      TransformTree(c, ctbLog2_, 0, true);
      return;
    }
    // motion: 2Nx2N, 2NxN, Nx2N or NxN, each with a difference or merged
    const int pm = Rnd(4);
    if (pm == 0) {
      c.Bin(kPartMode, 1);
    } else {
      c.Bin(kPartMode, 0);
      c.Bin(kPartMode + 1, pm == 1);
      if (pm != 1) c.Bin(kPartMode + 2, pm == 2);
    }
    const int n = ctb_;
    for (int i = 0; i < (pm == 0 ? 1 : pm == 3 ? 4 : 2); ++i) {
      const int pw = pm == 0 || pm == 1 ? n : n / 2, ph = pm == 0 || pm == 2 ? n : n / 2;
      const bool merge = pm != 0 && Chance(s_.mergePercent * 2);  // a merged 2Nx2N would carry a residual
      c.Bin(kMergeFlag, merge);
      if (merge) {
        MergeIdx(c, pic);
        continue;
      }
      int idc = 0;
      if (pic.sliceType == 0) {
        idc = Rnd(3);
        if (pw + ph != 12) c.Bin(kInterPred, idc == 2);
        if (idc != 2) c.Bin(kInterPred + 4, idc);
      }
      for (int X = 0; X < 2; ++X) {
        if (idc == 1 - X) continue;
        if (X == 1 && pic.sliceType != 0) continue;
        RefIdx(c, X ? pic.numRefL1 : pic.numRefL0);
        if (!(X == 1 && pic.mvdL1Zero && idc == 2)) Mvd(c);
        c.Bin(kMvp, Rnd(2));
      }
    }
    c.Bin(kRqtRootCbf, 0);
  }

  void MergeIdx(Cabac& c, const PicturePlan& pic) {
    if (pic.maxMergeCand <= 1) return;
    const int v = Rnd(pic.maxMergeCand);
    for (int i = 0; i < pic.maxMergeCand - 1; ++i) {
      const int bin = i < v;
      if (i == 0)
        c.Bin(kMergeIdx, bin);
      else
        c.Bypass(bin);
      if (!bin) break;
    }
  }

  void RefIdx(Cabac& c, int active) {
    if (active <= 1) return;
    const int v = Rnd(active);
    for (int i = 0; i < active - 1; ++i) {
      const int bin = i < v;
      if (i < 2)
        c.Bin(kRefIdx + i, bin);
      else
        c.Bypass(bin);
      if (!bin) break;
    }
  }

  void Mvd(Cabac& c) {
    int v[2];
    for (int& m : v) {
      if (Chance(s_.bigMvPercent))
        m = (Chance(50) ? -1 : 1) * (1500 + Rnd(3000));
      else
        m = Chance(15) ? 0 : Rnd(49) - 24;
    }
    c.Bin(kMvdGt0, v[0] != 0);
    c.Bin(kMvdGt0, v[1] != 0);
    if (v[0]) c.Bin(kMvdGt1, std::abs(v[0]) > 1);
    if (v[1]) c.Bin(kMvdGt1, std::abs(v[1]) > 1);
    for (int m : v) {
      if (!m) continue;
      if (std::abs(m) > 1) {
        // abs_mvd_minus2, Exp-Golomb of order 1
        int a = std::abs(m) - 2, k = 1;
        while (a >= (1 << k)) {
          c.Bypass(1);
          a -= 1 << k;
          ++k;
        }
        c.Bypass(0);
        c.Bypasses(static_cast<uint32_t>(a), k);
      }
      c.Bypass(m < 0);
    }
  }

  // The transform tree of an intra CU without any coded block.
  void TransformTree(Cabac& c, int log2, int depth, bool parentChroma) {
    const SpsFields& sps = s_.sps;
    const int minTb = static_cast<int>(sps.log2_min_tb_minus2) + 2;
    const int maxTb = minTb + static_cast<int>(sps.log2_diff_max_min_tb);
    const int maxDepth = static_cast<int>(sps.depth_intra);
    bool split;
    if (log2 <= maxTb && log2 > minTb && depth < maxDepth) {
      split = false;
      c.Bin(kSplitTransform + 5 - log2, 0);
    } else {
      split = log2 > maxTb;
    }
    if (log2 > 2 && (depth == 0 || parentChroma)) {
      c.Bin(kCbfChroma + depth, 0);
      c.Bin(kCbfChroma + depth, 0);
    }
    if (split) {
      for (int i = 0; i < 4; ++i) TransformTree(c, log2 - 1, depth + 1, false);
      return;
    }
    c.Bin(kCbfLuma + (depth == 0 ? 1 : 0), 0);
  }

  const StreamPlan& s_;
  std::mt19937 rng_;
  int minCbLog2_, ctbLog2_, ctb_, w_, h_, wc_, hc_, size_;
  std::vector<int> rsToTs_, tsToRs_, tileId_, colStart_;
  std::vector<int> sliceAddr_;
  std::vector<uint8_t> decoded_, skip_;
  std::vector<CabacContext> wpp_, ds_;
};

}  // namespace

std::vector<uint8_t> WriteStream(const StreamPlan& plan) { return Writer(plan).Run(); }

namespace {

// Common sequence set-up: CTBs of 16 or 32 that are one coding unit each,
// transforms 4..16, PCM at the CTB size.
StreamPlan Base(int w, int h, int ctbLog2 = 5) {
  StreamPlan s;
  s.sps.width = static_cast<uint64_t>(w);
  s.sps.height = static_cast<uint64_t>(h);
  s.sps.log2_min_cb_minus3 = static_cast<uint64_t>(ctbLog2 - 3);
  s.sps.log2_diff_max_min_cb = 0;
  s.sps.log2_min_tb_minus2 = 0;
  s.sps.log2_diff_max_min_tb = 2;
  s.sps.depth_inter = s.sps.depth_intra = 0;
  s.sps.pcm = true;
  s.sps.log2_min_pcm_minus3 = static_cast<uint64_t>(ctbLog2 - 3);
  s.sps.log2_diff_max_min_pcm = 0;
  s.sps.sao = true;
  s.sps.tmvp = true;
  s.sps.max_dec_pic_buffering_minus1 = 4;
  s.vps.max_dec_pic_buffering_minus1 = 4;
  return s;
}

PicturePlan Idr(int qp = 30) {
  PicturePlan p;
  p.nalType = 19;
  p.sliceType = 2;
  p.poc = 0;
  p.qp = qp;
  return p;
}

// An IDR and P pictures, each referring to the `refs` pictures before it.
std::vector<PicturePlan> PChain(int count, int refs, int qp = 32) {
  std::vector<PicturePlan> v{Idr(qp - 2)};
  for (int k = 1; k < count; ++k) {
    PicturePlan p;
    p.poc = k;
    p.qp = qp + (k % 3);
    const int n = std::min(k, refs);
    for (int d = 1; d <= n; ++d) p.stRefs.push_back({-d, true});
    p.numRefL0 = n;
    v.push_back(p);
  }
  return v;
}

// I0 P2 B1 P4 B3 ...: B pictures between two P pictures.
std::vector<PicturePlan> BChain(int count, int qp = 32) {
  std::vector<PicturePlan> v{Idr(qp - 2)};
  for (int k = 2; k < count; k += 2) {
    PicturePlan p;
    p.poc = k;
    p.qp = qp;
    p.stRefs = {{-2, true}};
    if (k > 2) p.stRefs.push_back({-4, true});
    p.numRefL0 = k > 2 ? 2 : 1;
    v.push_back(p);
    PicturePlan b;
    b.poc = k - 1;
    b.sliceType = 0;
    b.nalType = 0;  // TRAIL_N
    b.qp = qp + 2;
    b.stRefs = {{-1, true}, {1, true}};
    if (k > 2) b.stRefs.push_back({-3, true});
    b.numRefL0 = 2;
    b.numRefL1 = 2;
    v.push_back(b);
  }
  return v;
}

// The slices of a picture, by first CTB in tile scan.
std::vector<SlicePlan> Slices(std::initializer_list<int> starts, std::initializer_list<int> dependent = {}) {
  std::vector<SlicePlan> v;
  for (int ts : starts) {
    SlicePlan s;
    s.firstTs = ts;
    s.dependent = std::find(dependent.begin(), dependent.end(), ts) != dependent.end();
    v.push_back(s);
  }
  return v;
}

// The cases are compared with ffmpeg, so they stay clear of what ffmpeg
// decodes unlike H.265 (hevc_inter_test.cpp checks those against the decoder
// itself): chroma SAO of PCM and bypass blocks, SAO across a boundary that the
// later slice closes, chroma tc offsets that differ between neighbouring
// slices, wavefront rows after a slice that starts past a row's second CTB,
// and both loop filters together at CTBs of 16.
const std::map<std::string, void (*)(StreamPlan*)>& Cases() {
  static const std::map<std::string, void (*)(StreamPlan*)> cases = {
      {"tiles",
       [](StreamPlan* s) {
         *s = Base(192, 128);
         s->pps.tiles = true;
         s->pps.tile_cols_minus1 = 2;
         s->pps.tile_rows_minus1 = 1;
         s->pictures = PChain(6, 2);
       }},
      {"tiles-explicit-nolf",
       [](StreamPlan* s) {
         *s = Base(192, 128);
         s->pps.tiles = true;
         s->pps.uniform = false;
         s->pps.tile_cols_minus1 = 2;
         s->pps.col_width_minus1 = {0, 2};  // 1, 3 and 2 CTBs
         s->pps.tile_rows_minus1 = 1;
         s->pps.row_height_minus1 = {0};  // 1 and 3 CTBs
         s->pps.loop_filter_across_tiles = false;
         s->pictures = PChain(5, 2, 36);
         for (auto& p : s->pictures) p.slices = Slices({0, 6});  // the second tile row on
         s->seed = 2;
       }},
      {"tiles-slices",
       [](StreamPlan* s) {
         *s = Base(192, 128);
         s->pps.tiles = true;
         s->pps.tile_cols_minus1 = 1;
         s->pps.tile_rows_minus1 = 1;
         s->pps.deblocking_control = s->pps.deblocking_override = true;
         s->pictures = BChain(7, 34);
         for (size_t i = 0; i < s->pictures.size(); ++i) {
           PicturePlan& p = s->pictures[i];
           p.slices = Slices({0, 3, 6, 12, 15, 18});  // two slices in tiles 0 and 2, tiles 1 and 3 whole
           for (auto& sl : p.slices) {
             sl.deblockingOverride = i % 3 != 0;
             sl.betaDiv2 = i % 3 == 1 ? 6 : -3;
             sl.tcDiv2 = i % 3 == 1 ? 6 : -2;
           }
           if (i % 2) {  // no filtering across some slice boundaries (SAO off: see the note at Cases)
             p.slices[2].lfAcrossSlices = p.slices[4].lfAcrossSlices = false;
             p.saoLuma = p.saoChroma = false;
           }
         }
         s->sps.num_reorder = s->vps.num_reorder = 1;
         s->seed = 3;
       }},
      {"pcm-loopfilter",
       [](StreamPlan* s) {
         *s = Base(96, 64);
         s->pcmPercent = 45;
         s->pps.deblocking_control = s->pps.deblocking_override = true;
         s->pictures = PChain(4, 2, 38);
         s->pictures[1].slices[0].deblockingOverride = true;
         s->pictures[1].slices[0].betaDiv2 = -6;
         s->pictures[1].slices[0].tcDiv2 = 6;
         s->seed = 4;
       }},
      {"pcm-nofilter",
       [](StreamPlan* s) {
         *s = Base(128, 96);
         s->sps.pcm_loop_filter_disabled = true;
         s->sps.pcm_depth_luma_minus1 = 5;
         s->sps.pcm_depth_chroma_minus1 = 4;
         s->pcmPercent = 40;
         s->pictures = PChain(4, 2, 40);
         for (auto& p : s->pictures) p.saoChroma = false;  // see the note at Cases
         s->seed = 5;
       }},
      {"bypass",
       [](StreamPlan* s) {
         *s = Base(96, 64);
         s->pps.transquant_bypass = true;
         s->bypassPercent = 40;
         s->pictures = PChain(4, 2, 40);
         for (auto& p : s->pictures) p.saoChroma = false;  // see the note at Cases
         s->seed = 6;
       }},
      {"longterm",
       [](StreamPlan* s) {
         *s = Base(96, 64);
         s->sps.long_term = true;
         s->sps.log2_max_poc_lsb_minus4 = 0;  // POC LSBs wrap every 16 pictures
         s->sps.max_dec_pic_buffering_minus1 = s->vps.max_dec_pic_buffering_minus1 = 5;
         s->pictures = {Idr()};
         for (int poc = 1; poc <= 22; ++poc) {
           PicturePlan p;
           p.poc = poc;
           p.qp = 33;
           p.stRefs.push_back({-1, true});
           if (poc >= 3 && poc != 8) p.stRefs.push_back({-2, poc % 2 == 0});
           const bool msb = poc >= 16;
           if (poc >= 2) p.ltRefs.push_back({0, true, msb});
           if (poc >= 8) p.ltRefs.push_back({5, poc % 3 != 0, msb || poc % 4 == 0});
           int used = 0;
           for (auto& r : p.stRefs) used += r.second;
           for (auto& r : p.ltRefs) used += r.used;
           p.numRefL0 = std::min(used, 3);
           s->pictures.push_back(p);
         }
         s->seed = 7;
       }},
      {"listmod",
       [](StreamPlan* s) {
         *s = Base(96, 64);
         s->pps.lists_modification = true;
         s->sps.num_reorder = s->vps.num_reorder = 1;
         s->pictures = BChain(9, 33);
         for (size_t i = 1; i < s->pictures.size(); ++i) {
           PicturePlan& p = s->pictures[i];
           int total = 0;
           for (auto& r : p.stRefs) total += r.second;
           if (total < 2) continue;
           p.numRefL0 = 3;
           p.listEntryL0 = {total - 1, 0, total - 1};
           if (p.sliceType == 0) {
             p.numRefL1 = 2;
             p.listEntryL1 = {0, 0};
           }
         }
         s->seed = 8;
       }},
      {"dependent",
       [](StreamPlan* s) {
         *s = Base(256, 128);
         s->pps.dependent_slices = true;
         s->pictures = PChain(4, 2);
         for (auto& p : s->pictures) p.slices = Slices({0, 5, 8, 13, 20, 27}, {5, 8, 20, 27});
         s->seed = 9;
       }},
      {"wpp-midrow",
       [](StreamPlan* s) {
         *s = Base(256, 128);
         s->pps.wpp = true;
         s->pps.dependent_slices = true;
         s->pictures = PChain(4, 2);
         // slices from the second CTB of a row; dependent segments mid-row and at a row start
         for (auto& p : s->pictures) p.slices = Slices({0, 9, 13, 16, 25, 29}, {13, 16, 29});
         s->seed = 10;
       }},
      {"refs15",
       [](StreamPlan* s) {
         *s = Base(64, 64);
         s->sps.max_dec_pic_buffering_minus1 = s->vps.max_dec_pic_buffering_minus1 = 15;
         s->pictures = PChain(20, 15);
         s->seed = 11;
       }},
      {"bigmv",
       [](StreamPlan* s) {
         *s = Base(96, 64);
         s->bigMvPercent = 30;
         s->skipPercent = 10;
         s->sps.num_reorder = s->vps.num_reorder = 1;
         s->pictures = BChain(7, 30);
         s->seed = 12;
       }},
      {"deblock-slices",
       [](StreamPlan* s) {
         *s = Base(256, 128);
         s->pps.deblocking_control = s->pps.deblocking_override = true;
         s->pcmPercent = 40;
         s->pictures = PChain(5, 1, 37);
         for (size_t i = 0; i < s->pictures.size(); ++i) {
           PicturePlan& p = s->pictures[i];
           p.slices = Slices({0, 6, 15, 22});
           for (auto& sl : p.slices) {
             sl.deblockingOverride = true;
             sl.betaDiv2 = i % 2 ? 6 : -6;
             sl.tcDiv2 = i % 2 ? 6 : -6;
           }
           p.slices[1].deblockingDisabled = true;
           if (i >= 3) {  // no filtering across two slice boundaries (SAO off: see the note at Cases)
             p.slices[2].lfAcrossSlices = p.slices[3].lfAcrossSlices = false;
             p.saoLuma = p.saoChroma = false;
           } else {
             p.saoChroma = i != 2;
             p.saoLuma = i != 1;
           }
         }
         s->seed = 13;
       }},
      {"ctb16-deblock",
       [](StreamPlan* s) {
         // (with both loop filters at CTBs of 16, ffmpeg offsets some chroma
         // samples at CTB corners before their deblocking is final)
         *s = Base(128, 96, 4);
         s->sps.num_reorder = s->vps.num_reorder = 1;
         s->pictures = BChain(7, 35);
         for (auto& p : s->pictures) p.saoLuma = p.saoChroma = false;
         s->seed = 16;
       }},
      {"ctb16-sao",
       [](StreamPlan* s) {
         *s = Base(128, 96, 4);
         s->pps.deblocking_control = s->pps.deblocking_disabled = true;
         s->pictures = PChain(5, 2, 30);
         s->seed = 17;
       }},
      {"cip",
       [](StreamPlan* s) {
         *s = Base(96, 64);
         s->pps.constrained_intra = true;
         s->intraPercent = 40;
         s->pcmPercent = 15;
         s->pictures = PChain(4, 2);
         s->seed = 14;
       }},
      {"bframes",
       [](StreamPlan* s) {
         *s = Base(96, 64);
         s->sps.num_reorder = s->vps.num_reorder = 1;
         s->pictures = BChain(9, 31);
         for (auto& p : s->pictures)
           if (p.sliceType == 0) {
             p.mvdL1Zero = true;
             p.collocatedFromL0 = false;
             p.collocatedRefIdx = 1;
             p.maxMergeCand = 2;
           }
         s->seed = 15;
       }},
  };
  return cases;
}

}  // namespace

std::vector<std::string> WriterCaseNames() {
  std::vector<std::string> v;
  for (const auto& c : Cases()) v.push_back(c.first);
  return v;
}

bool WriterCase(const std::string& name, StreamPlan* plan) {
  auto it = Cases().find(name);
  if (it == Cases().end()) return false;
  it->second(plan);
  return true;
}

}  // namespace hevc_test
