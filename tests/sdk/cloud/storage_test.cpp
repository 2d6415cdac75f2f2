// Storage signing against the providers' published examples, error mapping, credentials, object keys, cache
// paths and the segment file format.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sdk/cloudplay/cloud_segment.h"
#include "sdk/cloud/orvel_server.h"
#include "sdk/storage/oss_accessor.h"
#include "sdk/storage/oss_cacher.h"
#include "util/crypto.h"
#include "util/json_holder.h"
#include "tests/common/temp_dir.h"

#include <cjson/cJSON.h>

namespace {

JsonHolder Parse(const char* text) { return JsonHolder(cJSON_Parse(text), false); }

void WriteText(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_TRUE(f);
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

std::string ReadText(const std::string& path) {
  std::string out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return out;
}

// Published examples of the providers' documentation: S3 signature version 2 ("GET Object" of
// johnsmith/photos/puppy.jpg), the OSS header signature example (PUT of oss-example/nelson).
TEST(StorageSigning, HmacSha1SignaturesMatchPublishedExamples) {
  EXPECT_EQ(HmacSha1Base64("wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY",
                           "GET\n\n\nTue, 27 Mar 2007 19:36:42 +0000\n/johnsmith/photos/puppy.jpg"),
            "bWq2s1WEIj+Ydj0vQ697zp+IXMU=");
  EXPECT_EQ(HmacSha1Base64("OtxrzxIsfpFjA7SwPzILwy8Bw21TLhquhboDYROV",
                           "PUT\nODBGOERFMDMzQTczRUY3NUE3NzA5QzdFNUYzMDQxNEM=\ntext/html\n"
                           "Thu, 17 Nov 2005 18:49:58 GMT\nx-oss-magic:abracadabra\n"
                           "x-oss-meta-author:foo@bar.com\n/oss-example/nelson"),
            "26NBxoKdsyly4EDv6inkoDft/yA=");
}

// AWS Signature Version 4: the derived-key example (iam, us-east-1, 20150830) and the S3 "GET Object" example
// with a range header (examplebucket/test.txt, 20130524T000000Z).
TEST(StorageSigning, SigV4MatchesPublishedExamples) {
  uint8_t key[32];
  Aws4DerivedKey("wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY", "20150830", "us-east-1", "iam", key);
  char hex[65];
  for (int i = 0; i < 32; ++i) std::snprintf(hex + 2 * i, 3, "%02x", key[i]);
  EXPECT_STREQ(hex, "c4afb1cc5771d871763a393e44b703571b55cc28424d1a5e86da6ed3c154a4b9");

  const std::string empty_sha = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  std::string canonical = "GET\n/test.txt\n\nhost:examplebucket.s3.amazonaws.com\nrange:bytes=0-9\n"
                          "x-amz-content-sha256:" + empty_sha + "\nx-amz-date:20130524T000000Z\n\n"
                          "host;range;x-amz-content-sha256;x-amz-date\n" + empty_sha;
  EXPECT_EQ(Aws4Signature("wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY", "20130524T000000Z", "us-east-1", "s3",
                          canonical),
            "f0e8bdb87c964420e857bd35b5d6ed310bd44f0170aba48dd91039c6036bdb41");
  EXPECT_EQ(FormatAmzDate(1369353600), "20130524T000000Z");
}

std::vector<std::string> HeadersFor(int type, const CsCredentials& c, const char* url, time_t now) {
  COssAccessor a(nullptr, "dev", "UUID1", 7);
  a.SetCredentials(type, c);
  return a.SignHeaders(url, now);
}

TEST(StorageSigning, HeaderSetsPerProvider) {
  CsCredentials c;
  c.secret = "secret";
  c.key_id = "AKID";
  c.token = "tok";
  c.bucket = "bkt";
  c.end_point = "oss.example.test";
  c.region = "reg-1";
  const time_t now = 1714996807;  // 2024-05-06 12:00:07 UTC
  const char* url = "http://bkt.oss.example.test/UUID1/2024/05/06/12/00-05.data";

  auto oss = HeadersFor(kCsProviderOss, c, url, now);
  ASSERT_EQ(oss.size(), 3u);
  EXPECT_EQ(oss[0], "x-oss-security-token:tok");
  EXPECT_EQ(oss[1], "Date: Mon, 06 May 2024 12:00:07 GMT");
  EXPECT_EQ(oss[2], "Authorization: OSS AKID:" +
                        HmacSha1Base64("secret", "GET\n\n\nMon, 06 May 2024 12:00:07 GMT\nx-oss-security-token:tok\n"
                                                 "/bkt/UUID1/2024/05/06/12/00-05.data"));
  auto v2 = HeadersFor(kCsProviderCtyun, c, url, now);
  ASSERT_EQ(v2.size(), 3u);
  EXPECT_EQ(v2[0], "x-amz-security-token:tok");
  EXPECT_EQ(v2[2].rfind("Authorization: AWS AKID:", 0), 0u);

  auto cos = HeadersFor(kCsProviderCos, c, url, now);
  ASSERT_EQ(cos.size(), 3u);
  EXPECT_EQ(cos[0], "x-cos-security-token:tok");
  EXPECT_EQ(cos[2], "Authorization: " + CosSign(c, 0, "/UUID1/2024/05/06/12/00-05.data", 0, nullptr, nullptr,
                                               "Mon, 06 May 2024 12:00:07 GMT", "bkt.oss.example.test", now));
  EXPECT_NE(cos[2].find("q-sign-time=1714996807;1715007607&q-key-time=1714996807;1715007607"
                        "&q-header-list=content-length;date;host;x-cos-security-token&q-url-param-list=&q-signature="),
            std::string::npos);

  auto s3 = HeadersFor(kCsProviderAws, c, url, now);
  ASSERT_EQ(s3.size(), 4u);
  EXPECT_EQ(s3[1], "Date: 20240506T120007Z");
  EXPECT_EQ(s3[2], "x-amz-content-sha256: UNSIGNED-PAYLOAD");
  std::string canonical = "GET\n/UUID1/2024/05/06/12/00-05.data\n\nhost:bkt.oss.example.test\n"
                          "x-amz-content-sha256:UNSIGNED-PAYLOAD\nx-amz-security-token:tok\n\n"
                          "host;x-amz-content-sha256;x-amz-security-token\nUNSIGNED-PAYLOAD";
  EXPECT_EQ(s3[3], "Authorization: AWS4-HMAC-SHA256 Credential=AKID/20240506/reg-1/s3/aws4_request,"
                   "SignedHeaders=host;x-amz-content-sha256;x-amz-security-token,Signature=" +
                       Aws4Signature("secret", "20240506T120007Z", "reg-1", "s3", canonical));
  EXPECT_TRUE(HeadersFor(kCsProviderPlain, c, url, now).empty());
}

TEST(StorageSigning, UrlEncodeKeepsUnreservedOnly) {
  EXPECT_EQ(UrlEncode("aZ09-._~"), "aZ09-._~");
  EXPECT_EQ(UrlEncode("Mon, 06 May/+\xff"), "Mon%2C%2006%20May%2F%2B%FF");
}

TEST(StorageErrors, DocumentsMapToStorageCodes) {
  struct Case {
    int type;
    long status;
    const char* doc;
    int want;
  } cases[] = {
      {kCsProviderAws, 403, "<Error><Code>AccessDenied</Code></Error>", kCsMissing},
      {kCsProviderOss, 403, "<Error><Code>AccessDenied</Code></Error>", kCsDenied},
      {kCsProviderCtyun, 403, "<Error><Code>AccessDenied</Code><Message>the secret token is expired</Message>",
       kCsCredentials},
      {kCsProviderCtyun, 403, "<Error><Code>AccessDenied</Code><Message>no</Message>", kCsDenied},
      {kCsProviderOss, 400, "<Code>requesttimetooskewed</Code>", kCsClockSkew},
      {kCsProviderAws, 403, "<Code>InvalidAccessKeyId</Code>", kCsCredentials},
      {kCsProviderOss, 400, "<Code>SecurityTokenExpired</Code>", kCsCredentials},
      {kCsProviderOss, 500, "<Code>InvalidAccessKeyId</Code>", kCsUnclassified},
      {kCsProviderOss, 403, "<Code>NoSuchThing</Code>", kCsUnclassified},
      {kCsProviderOss, 403, "no code at all", kCsUnclassified},
      {kCsProviderCos, 400, "<Code>ExpiredToken</Code>", kCsCredentials},
      {kCsProviderCos, 403, "<Code>SignatureDoesNotMatch</Code>", kCsCredentials},
      {kCsProviderCos, 500, "<Code>RequestTimeTooSkewed</Code>", kCsClockSkew},
      {kCsProviderCos, 403, "<Code>Other</Code>", kCsUnclassified},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseS3Error(c.type, c.status, c.doc), c.want) << c.doc;
}

TEST(StorageCredentials, ReplyGivesTypeEndPointAndUrls) {
  int type = 0;
  CsCredentials c;
  CsCredentialsFromReply(Parse(R"({"from":"aws","url":"https://bkt.s3.example.test","endPoint":"x",
      "bucket":"bkt","AccessKeyId":"id","AccessKeySecret":"sec","SecurityToken":"t","region_id":"r",
      "rootPath":"root"})"), &type, &c);
  EXPECT_EQ(type, kCsProviderAws);
  EXPECT_EQ(c.end_point, "s3.example.test");
  COssAccessor a(nullptr, "dev", "UUID1", 3);
  a.SetCredentials(type, c);
  EXPECT_EQ(a.ObjectUrl("/UUID1/2024/05/06/12/00-05.data"),
            "http://bkt.s3.example.test/UUID1/2024/05/06/12/00-05.data");
  EXPECT_EQ(a.ObjectUrl("other/x.jpg"), "http://bkt.s3.example.test/root/other/x.jpg");
  // A key with a leading "/" still gives one separator after the root path.
  EXPECT_EQ(a.ObjectUrl("/other/x.jpg"), "http://bkt.s3.example.test/root/other/x.jpg");

  CsCredentialsFromReply(Parse(R"({"from":"oracle","endPoint":"plain.example.test:8080","bucket":"b"})"), &type,
                         &c);
  EXPECT_EQ(type, kCsProviderPlain);
  a.SetCredentials(type, c);
  EXPECT_EQ(a.ObjectUrl("UUID1/k.data"), "http://plain.example.test:8080/UUID1/k.data");

  const char* froms[] = {"ctyun", "txyun", "aws", "chinaunicom", "oracle", "oss", "AWS", ""};
  const int types[] = {2, 3, 4, 4, 5, 1, 1, 1};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(CsProviderFromText(froms[i]), types[i]) << froms[i];
}

TEST(StorageCredentials, ProviderChangeReplacesTheAccessorWithoutThrowing) {
  // Without a service the request fails and the existing accessor stays as it is.
  std::unique_ptr<COssAccessor> acc(new COssAccessor(nullptr, "dev", "u", 1));
  COssAccessor* before = acc.get();
  EXPECT_NE(CreateAccessor(nullptr, "dev", "u", 1, &acc), 0);
  EXPECT_EQ(acc.get(), before);
}

TEST(StorageUrls, ParseStorageUrlSplitsParts) {
  StorageUrl u;
  ASSERT_EQ(ParseStorageUrl("https://user:pw@host.test:8443/a/b?x=1", &u), 1);
  EXPECT_EQ(u.scheme, 1);
  EXPECT_EQ(u.user, "user");
  EXPECT_EQ(u.password, "pw");
  EXPECT_EQ(u.host, "host.test");
  EXPECT_EQ(u.port, 8443);
  EXPECT_EQ(u.path, "/a/b?x=1");
  ASSERT_EQ(ParseStorageUrl("HTTP://h", &u), 1);
  EXPECT_EQ(u.path, "/");
  EXPECT_EQ(u.port, 80);
  EXPECT_EQ(ParseStorageUrl("ftp://h/x", &u), 0);
  EXPECT_EQ(ParseStorageUrl("http://h:99999/x", &u), 0);
  EXPECT_EQ(ParseStorageUrl("http:///x", &u), 0);
}

class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetCacheRoot(dir_.path().c_str());
    setenv("TZ", "UTC", 1);
    tzset();
  }
  TempDir dir_{"velmora_cache"};
};

TEST_F(CacheTest, KeyForTimeRoundsDownToFiveSecondsInLocalTime) {
  COssCacher cacher("CAM01", "k");
  struct tm tm {};
  tm.tm_year = 124, tm.tm_mon = 4, tm.tm_mday = 6, tm.tm_hour = 12, tm.tm_min = 0, tm.tm_sec = 7;
  tm.tm_isdst = -1;
  std::string key;
  ASSERT_EQ(cacher.KeyForTime(mktime(&tm), &key), 0);
  EXPECT_EQ(key, "/CAM01/2024/05/06/12/00-05.data");
}

TEST_F(CacheTest, PathsFromServiceDataStayInsideTheRoot) {
  for (const char* id : {"..", ".", "a/b", "a\\b", ""}) {
    COssCacher bad(id, "k");
    std::string key = "x";
    EXPECT_EQ(bad.KeyForTime(1714996807, &key), -1) << id;
    EXPECT_TRUE(key.empty());
  }
  COssCacher cacher("CAM01", "k");
  std::string path;
  const std::string root = dir_.path();
  EXPECT_TRUE(cacher.LocalPath("/CAM01/2024/05/06/12/00-05.data", &path));
  EXPECT_EQ(path, root + "/CAM01/2024/05/06/12/00-05.data");
  EXPECT_TRUE(cacher.LocalPath("http://b.host.test:80/thumbs/a.jpg?sig=1", &path));
  EXPECT_EQ(path, root + "/thumbs/a.jpg?sig=1");
  for (const char* hostile : {"/../etc/passwd", "/CAM01/..", "http://h/a/../../x", "a\\..\\b",
                              "http://h/x?y=/../../z"}) {
    path = "unchanged";
    EXPECT_FALSE(cacher.LocalPath(hostile, &path)) << hostile;
    EXPECT_EQ(path, "unchanged");
  }
  EXPECT_FALSE(cacher.LocalPath("httpx://h/a", &path));
  EXPECT_TRUE(UrlToCachePath("https://h.test/p/q.jpg?token=1", &path));
  EXPECT_EQ(path, root + "/p/q.jpg");
  EXPECT_TRUE(UrlToCachePath("http://h.test/p/x.jpg?y=/../../z", &path));  // the query is dropped
  EXPECT_FALSE(UrlToCachePath("http://h.test/../x", &path));
  EXPECT_FALSE(UrlToCachePath("httpz://h/x", &path));
  EXPECT_TRUE(UrlToCachePath("thumbs/a.jpg", &path));
  EXPECT_EQ(path, root + "/thumbs/a.jpg");  // inside the root, not a sibling of it
}

TEST_F(CacheTest, CheckLocalSeesFilesAndMissingMarkers) {
  COssCacher cacher("CAM01", "k");
  std::string a = dir_ / "a.data", b = dir_ / "b.data";
  WriteText(a, "x");
  WriteText(b + ".nofile", "");
  EXPECT_EQ(cacher.CheckLocal(a), 0);
  EXPECT_EQ(cacher.CheckLocal(b), kCsMissing);
  EXPECT_EQ(cacher.CheckLocal(dir_ / "c.data"), -1);
}

TEST(SegmentFormat, FramesRoundTripThroughTheReader) {
  TempDir dir("velmora_seg");
  std::vector<uint8_t> file;
  const std::string key = "8bytekey";
  std::vector<uint8_t> video(300000, 0x41), audio(320, 0xD5), sync = {1, 2, 3, 4};
  ASSERT_TRUE(CloudFrameAppend(0, 0, 1000, sync.data(), sync.size(), key.c_str(), &file));
  ASSERT_TRUE(CloudFrameAppend(1, 1, 1040, video.data(), video.size(), key.c_str(), &file));
  ASSERT_TRUE(CloudFrameAppend(0x0102, 5, 1080, audio.data(), audio.size(), key.c_str(), &file));
  std::string path = dir / "s.data";
  WriteText(path, std::string(file.begin(), file.end()));

  const Mp4ReaderOps* r = CloudFileReaderOps();
  void* h = nullptr;
  EXPECT_EQ(r->Open((dir / "none").c_str(), &h), kCloudReadOpen);
  ASSERT_EQ(r->Open(path.c_str(), &h), 0);
  Mp4StreamInfo info{};
  EXPECT_EQ(r->GetInfo(&info, h), 0);
  EXPECT_EQ(info.duration, 5000u);
  EXPECT_EQ(info.audioRate, 8000u);
  std::vector<uint8_t> buf(16), plain(400000);
  uint32_t type, ts, flags, size = 16;
  ASSERT_EQ(r->ReadSample(&type, &ts, buf.data(), &size, &flags, h), 0);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(CryptoDesDecrypt(buf.data(), 8, key.c_str(), plain.data()), 8);
  EXPECT_EQ(CloudFrameUnpad(plain.data(), 8), 4);
  EXPECT_EQ(std::vector<uint8_t>(plain.begin(), plain.begin() + 4), sync);
  size = 16;
  ASSERT_EQ(r->ReadSample(&type, &ts, buf.data(), &size, &flags, h), kCloudReadTooSmall);
  EXPECT_EQ(size, 300008u);  // 300000 + 8 bytes of padding
  buf.resize(size);
  ASSERT_EQ(r->ReadSample(&type, &ts, buf.data(), &size, &flags, h), 0);
  EXPECT_EQ(type, 1u);
  EXPECT_EQ(flags, 1u);
  EXPECT_EQ(ts, 1040u);
  CryptoDesDecrypt(buf.data(), static_cast<int>(size), key.c_str(), plain.data());
  EXPECT_EQ(CloudFrameUnpad(plain.data(), static_cast<int>(size)), 300000);  // last byte 8: 8 fewer
  ASSERT_EQ(r->ReadSample(&type, &ts, buf.data(), &size, &flags, h), 0);
  EXPECT_EQ(type, (1u << 16) | 2u);
  EXPECT_EQ(flags, 5u);
  EXPECT_EQ(r->ReadSample(&type, &ts, buf.data(), &size, &flags, h), kCloudReadEnd);
  EXPECT_EQ(r->Seek(0, h), 0);
  uint32_t peek_size = 0;
  EXPECT_EQ(r->PeekSample(&type, &ts, &flags, &peek_size, h), 0);
  EXPECT_EQ(peek_size, 8u);
  EXPECT_EQ(r->Nop(), kCloudReadUnsupported);
  EXPECT_EQ(r->Close(h), 0);

  // A frame cut short ends the file.
  WriteText(path, std::string(file.begin(), file.begin() + 24 + 100));
  ASSERT_EQ(r->Open(path.c_str(), &h), 0);
  size = static_cast<uint32_t>(buf.size());
  EXPECT_EQ(r->ReadSample(&type, &ts, buf.data(), &size, &flags, h), 0);
  size = static_cast<uint32_t>(buf.size());
  EXPECT_EQ(r->ReadSample(&type, &ts, buf.data(), &size, &flags, h), kCloudReadEnd);
  r->Close(h);
}

TEST(SegmentFormat, PaddingCountMustBeOneToEightAndFit) {
  uint8_t p[16] = {};
  struct Case {
    int stored;
    uint8_t last;
    int want;
  } cases[] = {{16, 1, 15}, {16, 8, 8}, {16, 0, -1}, {16, 9, -1}, {16, 255, -1}, {8, 8, 0}, {0, 1, -1}};
  for (const Case& c : cases) {
    if (c.stored > 0) p[c.stored - 1] = c.last;
    EXPECT_EQ(CloudFrameUnpad(p, c.stored), c.want) << c.stored << " " << int(c.last);
  }
}

// Our DES against the openssl command: a frame's payload decrypts with `openssl enc -d -des-cbc`.
TEST(SegmentFormat, PayloadMatchesOpensslDesCbc) {
  TempDir dir("velmora_des");
  std::vector<uint8_t> frame;
  std::string text = "cloud segment payload, some bytes long";
  ASSERT_TRUE(CloudFrameAppend(1, 1, 0, reinterpret_cast<const uint8_t*>(text.data()), text.size(), "abcdefgh",
                               &frame));
  WriteText(dir / "c.bin", std::string(frame.begin() + 16, frame.end()));
  char iv[17];
  for (int i = 0; i < 8; ++i) std::snprintf(iv + 2 * i, 3, "%02x", kCryptoDesIv[i]);
  std::string cmd = "openssl enc -d -des-cbc -provider legacy -provider default -K 6162636465666768 -iv " +
                    std::string(iv) + " -in " + (dir / "c.bin") + " -out " + (dir / "p.bin") + " 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  EXPECT_EQ(ReadText(dir / "p.bin"), text);  // PKCS#5 padding removed by openssl
}

}  // namespace
