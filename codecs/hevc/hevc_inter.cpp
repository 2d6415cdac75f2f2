// Motion of prediction units: merge candidates, motion vector prediction
// with a difference, temporal candidates from the collocated picture
// (H.265 8.5.3.2), the per-picture motion store and the 16x16 motion field
// that later pictures read.
#include <cstdlib>
#include <cstring>

#include "codecs/hevc/hevc_internal.h"
#include "codecs/hevc/hevc_tables_inline.h"

namespace hevc {
namespace {

enum PartMode { k2Nx2N = 0, k2NxN, kNx2N, kNxN, k2NxnU, k2NxnD, knLx2N, knRx2N };

inline int Clip3(int lo, int hi, int v) { return v < lo ? lo : v > hi ? hi : v; }

struct Mv {
  int x, y;
  bool operator==(const Mv& o) const { return x == o.x && y == o.y; }
};

// One prediction unit and what its derivations read.
struct PuCtx {
  HevcDecoder* dec;
  const HevcCtu* ctu;
  const HevcCu* cu;
  int xPb, yPb, nPbW, nPbH, partIdx;

  const HevcRefList& List(int x) const { return dec->stRefList[x]; }
  int Poc(int x, int refIdx) const { return dec->stRefList[x].aiPoc[refIdx & 15]; }
  int LongTerm(int x, int refIdx) const { return dec->stRefList[x].aiLongTerm[refIdx & 15]; }
};

inline int PredFlag(const HevcMotionInfo* m, int x) { return x ? m->predFlagL1 : m->predFlagL0; }
inline int RefIdx(const HevcMotionInfo* m, int x) { return x ? m->refIdxL1 : m->refIdxL0; }
inline Mv MvOf(const HevcMotionInfo* m, int x) {
  const int16_t* v = x ? m->mvL1 : m->mvL0;
  return {v[0], v[1]};
}

// The CTB part of availability: the four neighbour flags of the CTU; nothing
// right of or below the current CTB row's decoded part.
bool CtbAvailable(const PuCtx& p, int xN, int yN) {
  const HevcCtu* ctu = p.ctu;
  const HevcPictureInfo& g = p.dec->stPic;
  if (xN < 0 || yN < 0 || xN >= g.iWidth || yN >= g.iHeight) return false;
  const int x0 = ctu->iPixX, y0 = ctu->iPixY, s = ctu->iCtbSize;
  const int dx = xN < x0 ? -1 : xN >= x0 + s ? 1 : 0;
  const int dy = yN < y0 ? -1 : yN >= y0 + s ? 1 : 0;
  if (dy == 1) return false;
  if (dy == 0) return dx == 0 ? true : dx < 0 ? ctu->bAvailLeft != 0 : false;
  return dx < 0 ? ctu->bAvailUpLeft != 0 : dx == 0 ? ctu->bAvailUp != 0 : ctu->bAvailUpRight != 0;
}

// Prediction block availability (H.265 6.4.2) for A0 and B0, which may lie
// after the current block in decoding order.
bool PbAvailable(const PuCtx& p, int xN, int yN) {
  const HevcCu* cu = p.cu;
  const int n = 1 << cu->ucLog2CbSize;
  if (xN >= cu->iX && xN < cu->iX + n && yN >= cu->iY && yN < cu->iY + n) {
    return !((p.nPbW << 1) == n && (p.nPbH << 1) == n && p.partIdx == 1 && cu->iY + p.nPbH <= yN &&
             cu->iX + p.nPbW > xN);
  }
  return HevcZscanAvailable(p.dec, p.xPb, p.yPb, xN, yN) != 0;
}

// A spatial neighbour usable for motion: available and not intra.
const HevcMotionInfo* Neighbour(const PuCtx& p, int xN, int yN, bool mayFollow) {
  if (!CtbAvailable(p, xN, yN)) return nullptr;
  if (mayFollow && !PbAvailable(p, xN, yN)) return nullptr;
  if (p.dec->pPredModeMap[static_cast<size_t>(yN >> 2) * p.dec->iMap4Stride + (xN >> 2)] != 0xFF)
    return nullptr;
  return HevcMotionAt(p.dec, xN, yN);
}

// Scaling by POC distances (H.265 8.5.3.2.7, 8.5.3.2.9); equal distances keep
// the vector.
Mv ScaleMv(Mv mv, int tdRaw, int tbRaw) {
  if (tdRaw == tbRaw) return mv;
  int td = Clip3(-128, 127, tdRaw);
  if (td == 0) td = 1;
  const int tb = Clip3(-128, 127, tbRaw);
  const int tx = (16384 + (std::abs(td) >> 1)) / td;
  const int scale = Clip3(-4096, 4095, (tb * tx + 32) >> 6);
  auto one = [scale](int v) {
    const int prod = scale * v;
    const int mag = (std::abs(prod) + 127) >> 8;
    return Clip3(-32768, 32767, prod < 0 ? -mag : mag);
  };
  return {one(mv.x), one(mv.y)};
}

// Collocated motion of one 16x16 entry for list X (H.265 8.5.3.2.9).
bool ColMv(const PuCtx& p, const HevcPicture* col, const HevcColMotion& e, int refIdx, int X, Mv* out) {
  *out = {0, 0};
  if (!e.predFlagL0 && !e.predFlagL1) return false;
  int listCol;
  if (!e.predFlagL0)
    listCol = 1;
  else if (!e.predFlagL1)
    listCol = 0;
  else
    listCol = p.dec->iNoBackwardPred ? X : p.dec->stSh.collocated_from_l0_flag;
  const int colLt = listCol ? e.isLongTermL1 : e.isLongTermL0;
  if (colLt != p.LongTerm(X, refIdx)) return false;
  const Mv mv = listCol ? Mv{e.mvL1[0], e.mvL1[1]} : Mv{e.mvL0[0], e.mvL0[1]};
  const int colPocDiff = col->iPoc - (listCol ? e.refPocL1 : e.refPocL0);
  const int currPocDiff = p.dec->iCurPoc - p.Poc(X, refIdx);
  *out = p.LongTerm(X, refIdx) ? mv : ScaleMv(mv, colPocDiff, currPocDiff);
  return true;
}

// Temporal motion vector prediction (H.265 8.5.3.2.8).
bool TemporalMvp(const PuCtx& p, int refIdx, int X, Mv* out) {
  *out = {0, 0};
  HevcDecoder* dec = p.dec;
  const HevcSliceHeader& sh = dec->stSh;
  if (!sh.slice_temporal_mvp_enabled_flag || sh.slice_type == 2) return false;
  const int colList = (sh.slice_type == 0 && !sh.collocated_from_l0_flag) ? 1 : 0;
  const HevcRefList& l = dec->stRefList[colList];
  if (sh.collocated_ref_idx >= l.iNum) return false;
  const HevcPicture* col = &dec->astPic[l.aucIdx[sh.collocated_ref_idx]];
  if (!col->pstColMotion) return false;
  const HevcPictureInfo& g = dec->stPic;
  const int log2Ctb = dec->pSps->CtbLog2SizeY;
  const int xBr = p.xPb + p.nPbW, yBr = p.yPb + p.nPbH;
  if ((p.yPb >> log2Ctb) == (yBr >> log2Ctb) && yBr < g.iHeight && xBr < g.iWidth) {
    const HevcColMotion& e = col->pstColMotion[static_cast<size_t>(yBr >> 4) * g.iWidth16 + (xBr >> 4)];
    if (ColMv(p, col, e, refIdx, X, out)) return true;
  }
  const int xC = p.xPb + (p.nPbW >> 1), yC = p.yPb + (p.nPbH >> 1);
  const HevcColMotion& e = col->pstColMotion[static_cast<size_t>(yC >> 4) * g.iWidth16 + (xC >> 4)];
  return ColMv(p, col, e, refIdx, X, out);
}

void SetList(HevcMotionInfo* m, int x, int refIdx, Mv mv) {
  if (x) {
    m->predFlagL1 = 1;
    m->refIdxL1 = static_cast<int8_t>(refIdx);
    m->mvL1[0] = static_cast<int16_t>(mv.x);
    m->mvL1[1] = static_cast<int16_t>(mv.y);
  } else {
    m->predFlagL0 = 1;
    m->refIdxL0 = static_cast<int8_t>(refIdx);
    m->mvL0[0] = static_cast<int16_t>(mv.x);
    m->mvL0[1] = static_cast<int16_t>(mv.y);
  }
}

// The merge candidate mergeIdx (H.265 8.5.3.2.2 to 8.5.3.2.5); the list stops
// at the wanted candidate.
void MergeCandidate(PuCtx p, int mergeIdx, HevcMotionInfo* out) {
  HevcDecoder* dec = p.dec;
  const HevcSliceHeader& sh = dec->stSh;
  const HevcCu* cu = p.cu;
  const int parMrg = dec->pPps->Log2ParMrgLevel;
  const bool single = parMrg > 2 && cu->ucLog2CbSize == 3;
  if (single) {
    p.xPb = cu->iX;
    p.yPb = cu->iY;
    p.nPbW = p.nPbH = 8;
    p.partIdx = 0;
  }
  const int pm = cu->iPartMode;
  auto sameMerRegion = [&](int xN, int yN) {
    return (p.xPb >> parMrg) == (xN >> parMrg) && (p.yPb >> parMrg) == (yN >> parMrg);
  };
  auto spatial = [&](int xN, int yN, bool mayFollow) -> const HevcMotionInfo* {
    if (sameMerRegion(xN, yN)) return nullptr;
    return Neighbour(p, xN, yN, mayFollow);
  };
  HevcMotionInfo list[5];
  int n = 0;
  auto add = [&](const HevcMotionInfo& m) {
    list[n++] = m;
    if (n - 1 == mergeIdx) {
      *out = m;
      return true;
    }
    return false;
  };
  const int xL = p.xPb - 1, yB = p.yPb - 1, xR = p.xPb + p.nPbW, yD = p.yPb + p.nPbH;
  // A1
  const HevcMotionInfo* a1 = nullptr;
  if (!(p.partIdx == 1 && (pm == kNx2N || pm == knLx2N || pm == knRx2N))) a1 = spatial(xL, yD - 1, false);
  if (a1 && add(*a1)) return;
  // B1
  const HevcMotionInfo* b1 = nullptr;
  if (!(p.partIdx == 1 && (pm == k2NxN || pm == k2NxnU || pm == k2NxnD))) b1 = spatial(xR - 1, yB, false);
  const bool fB1 = b1 && !(a1 && HevcMotionEqual(a1, b1));
  if (fB1 && add(*b1)) return;
  // B0
  const HevcMotionInfo* b0 = spatial(xR, yB, true);
  const bool fB0 = b0 && !(b1 && HevcMotionEqual(b1, b0));
  if (fB0 && add(*b0)) return;
  // A0: never in the next CTB row
  const HevcMotionInfo* a0 = yD < p.ctu->iCtbEndY ? spatial(xL, yD, true) : nullptr;
  const bool fA0 = a0 && !(a1 && HevcMotionEqual(a1, a0));
  if (fA0 && add(*a0)) return;
  // B2
  if ((a1 != nullptr) + fB1 + fB0 + fA0 != 4) {
    const HevcMotionInfo* b2 = spatial(xL, yB, false);
    if (b2 && !(a1 && HevcMotionEqual(a1, b2)) && !(b1 && HevcMotionEqual(b1, b2)) && add(*b2)) return;
  }
  // temporal
  if (sh.slice_temporal_mvp_enabled_flag && n < 5) {
    HevcMotionInfo t{};
    Mv mv;
    if (TemporalMvp(p, 0, 0, &mv)) SetList(&t, 0, 0, mv);
    if (sh.slice_type == 0 && TemporalMvp(p, 0, 1, &mv)) SetList(&t, 1, 0, mv);
    if (t.predFlagL0 || t.predFlagL1) {
      if (!t.predFlagL1) t.refIdxL1 = -1;
      if (!t.predFlagL0) t.refIdxL0 = -1;
      if (add(t)) return;
    }
  }
  const int maxCand = sh.MaxNumMergeCand;
  // combined bi-predictive candidates
  if (sh.slice_type == 0 && n > 1 && n < maxCand) {
    const int orig = n;
    for (int comb = 0; comb < orig * (orig - 1) && n < maxCand; ++comb) {
      const HevcMotionInfo& c0 = list[kHevcCombCandIdx[comb][0]];
      const HevcMotionInfo& c1 = list[kHevcCombCandIdx[comb][1]];
      if (!c0.predFlagL0 || !c1.predFlagL1) continue;
      if (p.Poc(0, c0.refIdxL0) == p.Poc(1, c1.refIdxL1) && c0.mvL0[0] == c1.mvL1[0] &&
          c0.mvL0[1] == c1.mvL1[1])
        continue;
      HevcMotionInfo m{};
      SetList(&m, 0, c0.refIdxL0, MvOf(&c0, 0));
      SetList(&m, 1, c1.refIdxL1, MvOf(&c1, 1));
      if (add(m)) return;
    }
  }
  // zero candidates
  const int numRef = sh.slice_type == 1
                         ? sh.num_ref_idx_l0_active
                         : (sh.num_ref_idx_l0_active < sh.num_ref_idx_l1_active ? sh.num_ref_idx_l0_active
                                                                                : sh.num_ref_idx_l1_active);
  for (int zero = 0; n < 5; ++zero) {
    const int r = zero < numRef ? zero : 0;
    HevcMotionInfo m{};
    SetList(&m, 0, r, {0, 0});
    if (sh.slice_type == 0)
      SetList(&m, 1, r, {0, 0});
    else
      m.refIdxL1 = -1;
    if (add(m)) return;
  }
  *out = list[0];  // merge_idx is below MaxNumMergeCand: not reached
}

// A spatial AMVP candidate that refers to the target picture itself (either list).
bool SameRef(const PuCtx& p, const HevcMotionInfo* m, int X, int refIdx, Mv* out) {
  const int poc = p.Poc(X, refIdx);
  for (int k = 0; k < 2; ++k) {
    const int l = k ? 1 - X : X;
    if (PredFlag(m, l) && p.Poc(l, RefIdx(m, l)) == poc) {
      *out = MvOf(m, l);
      return true;
    }
  }
  return false;
}

// A spatial AMVP candidate with a reference of the same kind, scaled to the
// target unless long-term.
bool ScaledCand(const PuCtx& p, const HevcMotionInfo* m, int X, int refIdx, Mv* out) {
  const int lt = p.LongTerm(X, refIdx);
  for (int k = 0; k < 2; ++k) {
    const int l = k ? 1 - X : X;
    if (!PredFlag(m, l) || p.LongTerm(l, RefIdx(m, l)) != lt) continue;
    const Mv mv = MvOf(m, l);
    if (lt) {
      *out = mv;
    } else {
      const int cur = p.dec->iCurPoc;
      *out = ScaleMv(mv, cur - p.Poc(l, RefIdx(m, l)), cur - p.Poc(X, refIdx));
    }
    return true;
  }
  return false;
}

// mvpLX (H.265 8.5.3.2.6, 8.5.3.2.7).
Mv AmvpPredictor(const PuCtx& p, int X, int refIdx, int mvpFlag) {
  const int xL = p.xPb - 1, yB = p.yPb - 1, xR = p.xPb + p.nPbW, yD = p.yPb + p.nPbH;
  const HevcMotionInfo* a[2] = {yD < p.ctu->iCtbEndY ? Neighbour(p, xL, yD, true) : nullptr,
                                Neighbour(p, xL, yD - 1, false)};
  const HevcMotionInfo* b[3] = {Neighbour(p, xR, yB, true), Neighbour(p, xR - 1, yB, false),
                                Neighbour(p, xL, yB, false)};
  const bool isScaled = a[0] || a[1];
  Mv mvA{0, 0}, mvB{0, 0};
  bool haveA = false, haveB = false;
  for (int k = 0; k < 2 && !haveA; ++k)
    if (a[k]) haveA = SameRef(p, a[k], X, refIdx, &mvA);
  for (int k = 0; k < 2 && !haveA; ++k)
    if (a[k]) haveA = ScaledCand(p, a[k], X, refIdx, &mvA);
  for (int k = 0; k < 3 && !haveB; ++k)
    if (b[k]) haveB = SameRef(p, b[k], X, refIdx, &mvB);
  if (!isScaled) {
    if (haveB) {
      mvA = mvB;
      haveA = true;
    }
    haveB = false;
    for (int k = 0; k < 3 && !haveB; ++k)
      if (b[k]) haveB = ScaledCand(p, b[k], X, refIdx, &mvB);
  }
  Mv cand[2];
  int n = 0;
  if (haveA) cand[n++] = mvA;
  if (haveB && !(haveA && mvA == mvB)) cand[n++] = mvB;
  if (n < 2) {
    Mv t;
    if (TemporalMvp(p, refIdx, X, &t)) cand[n++] = t;
  }
  while (n < 2) cand[n++] = {0, 0};
  return cand[mvpFlag];
}

}  // namespace

int HevcMotionEqual(const HevcMotionInfo* a, const HevcMotionInfo* b) {
  if (a->predFlagL0 != b->predFlagL0 || a->predFlagL1 != b->predFlagL1) return 0;
  if (!a->predFlagL0 && !a->predFlagL1) return 0;
  if (a->predFlagL0 && (a->refIdxL0 != b->refIdxL0 || a->mvL0[0] != b->mvL0[0] || a->mvL0[1] != b->mvL0[1]))
    return 0;
  if (a->predFlagL1 && (a->refIdxL1 != b->refIdxL1 || a->mvL1[0] != b->mvL1[0] || a->mvL1[1] != b->mvL1[1]))
    return 0;
  return 1;
}

void HevcDeriveMotion(HevcDecoder* dec, const HevcCtu* ctu, const HevcCu* cu, int xPb, int yPb, int nPbW,
                      int nPbH, int partIdx, HevcMotionInfo* out) {
  PuCtx p{dec, ctu, cu, xPb, yPb, nPbW, nPbH, partIdx};
  const HevcPu& pu = cu->astPu[partIdx];
  std::memset(out, 0, sizeof *out);
  if (pu.iMergeFlag) {
    MergeCandidate(p, pu.iMergeIdx, out);
    if (out->predFlagL0 && out->predFlagL1 && nPbW + nPbH == 12) {
      out->predFlagL1 = 0;
      out->refIdxL1 = -1;
    }
  } else {
    for (int X = 0; X < 2; ++X) {
      if (pu.iInterPredIdc == 1 - X) continue;  // the other list only
      const int refIdx = X ? pu.iRefIdxL1 : pu.iRefIdxL0;
      const Mv mvp = AmvpPredictor(p, X, refIdx, X ? pu.iMvpL1Flag : pu.iMvpL0Flag);
      const int16_t* mvd = X ? pu.asMvdL1 : pu.asMvdL0;
      // mvp + mvd wraps at 16 bits
      SetList(out, X, refIdx,
              {static_cast<int16_t>(static_cast<uint16_t>(mvp.x + mvd[0])),
               static_cast<int16_t>(static_cast<uint16_t>(mvp.y + mvd[1]))});
    }
    if (!out->predFlagL0) out->refIdxL0 = -1;
    if (!out->predFlagL1) out->refIdxL1 = -1;
  }
  out->bufIdxL0 = out->predFlagL0 ? dec->stRefList[0].aucIdx[out->refIdxL0 & 15] : 0;
  out->bufIdxL1 = out->predFlagL1 ? dec->stRefList[1].aucIdx[out->refIdxL1 & 15] : 0;
}

// The picture starts with an empty motion store.
void HevcStartPictureMotion(HevcDecoder* dec) {
  const HevcSps* sps = dec->pSps;
  dec->iPuAreaSize = (sps->CtbSizeY >> 2) * dec->iMap4Stride;
  std::memset(dec->pRowPuCount, 0, sizeof(int32_t) * (dec->iMaxHeight / 16 + 1));
}

// Every list entry of a P or B slice must name a picture laid out like the
// current one and other than it: a missing, foreign or self reference reads
// the grey stand-in, so motion compensation never reads outside a picture
// buffer nor the picture that this and other threads are writing. -1 when
// the stand-in is needed but has no memory (a later slice that names what
// the first one did not).
int32_t HevcCheckReferences(HevcDecoder* dec) {
  const HevcPicture* cur = dec->pCurPic;
  // a worker's handle copy points at the main handle's picture: find it by its planes
  int curIdx = 0;
  for (int k = 0; k < dec->iNumPics; ++k)
    if (dec->astPic[k].apucPlane[0] == cur->apucPlane[0]) curIdx = k;
  const HevcPicture& standIn = dec->astPic[kStandIn];
  const bool standInReady = standIn.apucPlane[0] && standIn.iPicWidth == cur->iPicWidth &&
                            standIn.iPicHeight == cur->iPicHeight && standIn.iPicStride == cur->iPicStride;
  int noBackward = 1;
  for (int x = 0; x < 2; ++x) {
    HevcRefList& l = dec->stRefList[x];
    for (int i = 0; i < l.iNum; ++i) {
      if (l.aucIdx[i] != kStandIn && HevcNeedsStandIn(dec, l.aucIdx[i], curIdx)) {
        if (!standInReady) return -1;
        l.aucIdx[i] = static_cast<uint8_t>(kStandIn);
      }
      if (l.aiPoc[i] > dec->iCurPoc) noBackward = 0;
    }
  }
  dec->iNoBackwardPred = noBackward;
  return 0;
}

void HevcStoreCtuMotion(HevcDecoder* dec, const HevcCtu* ctu) {
  const HevcPictureInfo& g = dec->stPic;
  HevcColMotion* field = dec->pCurPic->pstColMotion;
  const int xEnd = ctu->iPixX + ctu->iCtbSize, yEnd = ctu->iPixY + ctu->iCtbSize;
  for (int y = ctu->iPixY; y < yEnd && y < g.iHeight; y += 16)
    for (int x = ctu->iPixX; x < xEnd && x < g.iWidth; x += 16) {
      HevcColMotion& e = field[static_cast<size_t>(y >> 4) * g.iWidth16 + (x >> 4)];
      if (dec->pPredModeMap[static_cast<size_t>(y >> 2) * dec->iMap4Stride + (x >> 2)] != 0xFF) {
        e.predFlagL0 = e.predFlagL1 = 0;
        continue;
      }
      const HevcMotionInfo* m = HevcMotionAt(dec, x, y);
      std::memcpy(e.mvL0, m->mvL0, sizeof e.mvL0);
      std::memcpy(e.mvL1, m->mvL1, sizeof e.mvL1);
      e.predFlagL0 = m->predFlagL0;
      e.predFlagL1 = m->predFlagL1;
      if (m->predFlagL0) {
        e.refPocL0 = dec->stRefList[0].aiPoc[m->refIdxL0 & 15];
        e.isLongTermL0 = static_cast<uint8_t>(dec->stRefList[0].aiLongTerm[m->refIdxL0 & 15]);
      }
      if (m->predFlagL1) {
        e.refPocL1 = dec->stRefList[1].aiPoc[m->refIdxL1 & 15];
        e.isLongTermL1 = static_cast<uint8_t>(dec->stRefList[1].aiLongTerm[m->refIdxL1 & 15]);
      }
    }
}

}  // namespace hevc
