#include "util/json_holder.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <climits>

namespace {

JsonHolder Parse(const char* text) { return JsonHolder(cJSON_Parse(text), false); }

TEST(JsonHolder, GettersOverADocument) {
  JsonHolder root = Parse(R"({"Code":0,"msg":"ok","data":{"List":[{"id":"17"},{"id":5},null]},"flag":true})");
  ASSERT_TRUE(root.IsValid());
  EXPECT_EQ(root.Type(), JsonHolder::kObject);
  EXPECT_EQ(root.Get("code").AsInt(), 0);
  EXPECT_TRUE(root.Has("CODE"));
  EXPECT_FALSE(root.Has("nothing"));
  EXPECT_STREQ(root.Get("MSG").AsString(), "ok");
  JsonHolder list = root.Get("data").Get("list");
  EXPECT_EQ(list.Size(), 3);
  EXPECT_EQ(list.At(0).Get("id").AsInt(), 17);
  EXPECT_EQ(list.At(1).Get("id").AsInt(), 5);
  EXPECT_EQ(list.At(2).Type(), JsonHolder::kNull);
  EXPECT_FALSE(list.At(3).IsValid());
  EXPECT_FALSE(list.At(-1).IsValid());
  // Missing links tolerate every getter.
  JsonHolder none = root.Get("absent").Get("deeper").At(4);
  EXPECT_FALSE(none.IsValid());
  EXPECT_EQ(none.Type(), JsonHolder::kNone);
  EXPECT_EQ(none.Size(), 0);
  EXPECT_EQ(none.AsInt(), 0);
  EXPECT_STREQ(none.AsString(), "");
  EXPECT_EQ(none.AsStringOrNull(), nullptr);
  EXPECT_FALSE(none.Has("x"));
}

TEST(JsonHolder, TypesAndConversions) {
  struct Case {
    const char* json;
    int type;
    int as_int;
    const char* as_string_or_null;
  } cases[] = {
      {"null", JsonHolder::kNull, 0, nullptr},
      {"false", JsonHolder::kBool, 0, nullptr},
      {"true", JsonHolder::kBool, 0, nullptr},
      {"\"123\"", JsonHolder::kString, 123, "123"},
      {"\"-42abc\"", JsonHolder::kString, -42, "-42abc"},
      {"\"abc\"", JsonHolder::kString, 0, "abc"},
      {"\"99999999999\"", JsonHolder::kString, INT_MAX, "99999999999"},
      {"7.9", JsonHolder::kNumber, 7, nullptr},
      {"1e20", JsonHolder::kNumber, INT_MAX, nullptr},
      {"[1,2]", JsonHolder::kArray, 0, nullptr},
      {"{\"a\":1}", JsonHolder::kObject, 0, nullptr},
  };
  for (const Case& c : cases) {
    JsonHolder h = Parse(c.json);
    ASSERT_TRUE(h.IsValid()) << c.json;
    EXPECT_EQ(h.Type(), c.type) << c.json;
    EXPECT_EQ(h.AsInt(), c.as_int) << c.json;
    if (c.as_string_or_null) {
      EXPECT_STREQ(h.AsStringOrNull(), c.as_string_or_null);
    } else {
      EXPECT_EQ(h.AsStringOrNull(), nullptr) << c.json;
    }
  }
  JsonHolder raw(cJSON_CreateRaw("{}"), false);
  EXPECT_EQ(raw.Type(), JsonHolder::kRaw);
}

TEST(JsonHolder, CreateMakesOnlyNullArrayAndObject) {
  EXPECT_EQ(JsonHolder::Create(JsonHolder::kNull).Type(), JsonHolder::kNull);
  EXPECT_EQ(JsonHolder::Create(JsonHolder::kArray).Type(), JsonHolder::kArray);
  EXPECT_EQ(JsonHolder::Create(JsonHolder::kObject).Type(), JsonHolder::kObject);
  for (int code : {0, 2, 3, 4, 7, 8, -1}) EXPECT_FALSE(JsonHolder::Create(code).IsValid()) << code;
  JsonHolder obj = JsonHolder::Create(JsonHolder::kObject);
  cJSON_AddStringToObject(obj.Item(), "uuid", "abc");
  EXPECT_STREQ(obj.Get("UUID").AsString(), "abc");
}

TEST(JsonHolder, OwnershipFollowsTheBorrowedFlag) {
  // Run under ASan: an owned tree that is not freed leaks, a borrowed one that is freed is a double free.
  cJSON* tree = cJSON_Parse(R"({"a":[1,2,3]})");
  {
    JsonHolder borrowed(tree, true);
    EXPECT_EQ(borrowed.Get("a").Size(), 3);
  }
  JsonHolder owner;
  owner.Attach(tree, false);
  owner.Attach(cJSON_Parse("[4]"), false);  // frees the first tree
  EXPECT_EQ(owner.Size(), 1);
  JsonHolder moved = std::move(owner);
  EXPECT_FALSE(owner.IsValid());
  EXPECT_EQ(moved.At(0).AsInt(), 4);
  moved = Parse("{}");
  EXPECT_EQ(moved.Type(), JsonHolder::kObject);
}

}  // namespace
