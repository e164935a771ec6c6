#include "common/json.h"

#include <gtest/gtest.h>

#include <limits>

namespace vor::json {
namespace {

using namespace std::string_literals;

std::string nested(std::size_t depth, char open, char close, const std::string& inner = "") {
  return std::string(depth, open) + inner + std::string(depth, close);
}

TEST(JsonParse, WhitespaceTrailingBytesAndBom) {
  struct Case {
    const char* name;
    std::string bytes;
    bool ok;
  };
  const Case cases[] = {
      {"bare object", "{}", true},
      {"all four whitespace bytes around", " \t\r\n{} \t\r\n", true},
      {"trailing letter", "{} x", false},
      {"trailing second value", "1 2", false},
      {"trailing NUL", "{}\0"s, false},
      {"empty", "", false},
      {"whitespace only", " \t\r\n", false},
      {"byte-order mark", "\xEF\xBB\xBF{}", false},
      {"byte-order mark after space", " \xEF\xBB\xBF{}", false},
      {"form feed is not whitespace", "\f{}", false},
      {"vertical tab is not whitespace", "\v{}", false},
      {"no-break space is not whitespace", "\xC2\xA0{}", false},
      {"comment", "{}/**/", false},
      {"scalar document", "\"x\"", true},
  };
  for (const auto& c : cases) EXPECT_EQ(parse(c.bytes).has_value(), c.ok) << c.name;
}

TEST(JsonParse, RefusesNestingOf128Levels) {
  EXPECT_TRUE(parse(nested(127, '[', ']')));
  EXPECT_FALSE(parse(nested(128, '[', ']')));
  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"a\":";
  objects += "1" + std::string(127, '}');
  EXPECT_TRUE(parse(objects));
  EXPECT_FALSE(parse("[" + objects + "]"));
  EXPECT_FALSE(parse(std::string(100000, '[')));
}

TEST(JsonParse, KeepsNumberKindsApart) {
  struct Case {
    const char* text;
    Value::Kind kind;
  };
  const Case cases[] = {
      {"0", Value::Kind::kUnsigned},
      {"-0", Value::Kind::kUnsigned},
      {"18446744073709551615", Value::Kind::kUnsigned},
      {"18446744073709551616", Value::Kind::kFloat},
      {"-1", Value::Kind::kSigned},
      {"-9223372036854775808", Value::Kind::kSigned},
      {"-9223372036854775809", Value::Kind::kFloat},
      {"1.0", Value::Kind::kFloat},
      {"1e3", Value::Kind::kFloat},
      {"1E+3", Value::Kind::kFloat},
      {"-0.0", Value::Kind::kFloat},
  };
  for (const auto& c : cases) {
    const auto v = parse(c.text);
    ASSERT_TRUE(v) << c.text;
    EXPECT_EQ(v->kind(), c.kind) << c.text;
  }
  EXPECT_EQ(*parse("18446744073709551615")->as_unsigned(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(*parse("-9223372036854775808")->as_signed(), std::numeric_limits<std::int64_t>::min());
  EXPECT_FALSE(parse("1e400"));  // overflows a double
}

TEST(JsonParse, KeepsMemberOrderAndDuplicates) {
  const auto v = parse(R"({"b":1,"a":null,"b":2})");
  ASSERT_TRUE(v);
  const Object& m = *v->as_object();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0].key, "b");
  EXPECT_EQ(m[1].key, "a");
  EXPECT_TRUE(m[1].value.is_null());
  EXPECT_EQ(m[2].key, "b");
  EXPECT_EQ(*m[2].value.as_unsigned(), 2u);
  EXPECT_EQ(*v->find("b")->as_unsigned(), 1u);
}

TEST(JsonParse, Strings) {
  struct Case {
    const char* name;
    std::string json;
    std::optional<std::string> text;  // none: refused
  };
  const Case cases[] = {
      {"two-character escapes", R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {"unicode escape", R"("\u00e9\u001B")", "\xC3\xA9\x1B"},
      {"surrogate pair", R"("\uD834\uDD1E")", "\xF0\x9D\x84\x9E"},
      {"escaped NUL", R"("a\u0000b")", "a\0b"s},
      {"raw UTF-8", "\"\xC3\xA9\"", "\xC3\xA9"},
      {"raw DEL", "\"\x7F\"", "\x7F"},
      {"raw control character", "\"a\x01\"", std::nullopt},
      {"raw tab", "\"a\tb\"", std::nullopt},
      {"raw line feed", "\"a\nb\"", std::nullopt},
      {"unpaired leading surrogate", R"("\uD834")", std::nullopt},
      {"leading surrogate then letter", R"("\uD834x")", std::nullopt},
      {"unpaired trailing surrogate", R"("\uDD1E")", std::nullopt},
      {"unknown escape", R"("\x41")", std::nullopt},
      {"short unicode escape", R"("\u00e")", std::nullopt},
      {"lone continuation byte", "\"\x80\"", std::nullopt},
      {"overlong encoding", "\"\xC0\xAF\"", std::nullopt},
      {"encoded surrogate", "\"\xED\xA0\x80\"", std::nullopt},
      {"truncated sequence", "\"\xE2\x82\"", std::nullopt},
      {"Latin-1 byte", "\"\xE9\"", std::nullopt},
      {"invalid UTF-8 in a key", "{\"\xFF\":1}", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto v = parse(c.json);
    ASSERT_EQ(v.has_value(), c.text.has_value()) << c.name;
    if (v) {
      EXPECT_EQ(*v->as_string(), *c.text) << c.name;
    }
  }
}

TEST(JsonWrite, EscapesExactly) {
  struct Case {
    std::string text;
    std::string written;
  };
  const Case cases[] = {
      {"\x1B/", R"("\u001b/")"},
      {"\xC3\xA9", "\"\xC3\xA9\""},
      {"\"\\", R"("\"\\")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {"\0\x01\x0B\x1F"s, R"("\u0000\u0001\u000b\u001f")"},
      {"\x7F", "\"\x7F\""},
      {"\xF0\x9D\x84\x9E", "\"\xF0\x9D\x84\x9E\""},
      {"", R"("")"},
      {"plain", R"("plain")"},
  };
  for (const auto& c : cases) {
    std::string out;
    write_string(out, c.text);
    EXPECT_EQ(out, c.written);
    // What is written reads back as the same text.
    const auto back = parse(out);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back->as_string(), c.text);
  }
}

TEST(JsonWrite, IntegersInPlainDecimal) {
  std::string out;
  write_uint(out, 0);
  out += ' ';
  write_uint(out, std::numeric_limits<std::uint64_t>::max());
  out += ' ';
  write_int(out, std::numeric_limits<std::int64_t>::min());
  out += ' ';
  write_int(out, -5);
  out += ' ';
  write_int(out, 42);
  EXPECT_EQ(out, "0 18446744073709551615 -9223372036854775808 -5 42");
}

TEST(JsonWrite, CompactInHeldOrderAndSortedRawValues) {
  const std::string doc = R"({"z":[1,-2,1.50,true,null],"a":{"y":"\u001b","b":{}},"\u00e9":0,"Z":[],"a":1})";
  const auto v = parse(doc);
  ASSERT_TRUE(v);
  EXPECT_EQ(to_string(*v), R"({"z":[1,-2,1.50,true,null],"a":{"y":"\u001b","b":{}},"é":0,"Z":[],"a":1})");
  // Byte order: "Z" < "a" < "z" < "\xC3\xA9"; equal keys keep their order.
  EXPECT_EQ(to_sorted_string(*v), R"({"Z":[],"a":{"b":{},"y":"\u001b"},"a":1,"z":[1,-2,1.50,true,null],"é":0})");
}

TEST(JsonWrite, BuiltValuesAndObjectWriter) {
  const Value v = Object{{"n", -3}, {"u", 7u}, {"s", "x"}, {"b", false}, {"a", Array{nullptr, 1.5 == 1.5}}};
  EXPECT_EQ(to_string(v), R"({"n":-3,"u":7,"s":"x","b":false,"a":[null,true]})");
  EXPECT_EQ(Value(5), Value(5u));  // non-negative signed numbers are held as unsigned
  EXPECT_EQ(Value(-5).kind(), Value::Kind::kSigned);
  EXPECT_EQ(to_string(Value(Float{0.5, {}})), "0.5");
  EXPECT_EQ(to_string(Value(Float{2, {}})), "2.0");

  std::string out;
  ObjectWriter w(out);
  write_uint(w.key("a"), 1);
  write_time(w.key("t"), Time{});
  write_null(w.key("q\""));
  w.close();
  EXPECT_EQ(out, R"({"a":1,"t":"1970-01-01T00:00:00Z","q\"":null})");
}

// --- converters ---

struct ConvertCase {
  const char* json;
  bool ok;
};

template <class F>
void check_converter(const char* label, F&& convert, std::initializer_list<ConvertCase> cases) {
  for (const auto& c : cases) {
    const auto v = parse(c.json);
    ASSERT_TRUE(v) << c.json;
    EXPECT_EQ(convert(*v).has_value(), c.ok) << label << " " << c.json;
  }
}

TEST(JsonConvert, IntegerKindsRefuseFloatsAndOutOfRange) {
  check_converter("u32", to_u32,
                  {{"0", true}, {"4294967295", true}, {"4294967296", false}, {"-1", false}, {"1.0", false},
                   {"1e3", false}, {"\"1\"", false}, {"true", false}, {"null", false}, {"-0", true}});
  check_converter("i32", to_i32,
                  {{"-2147483648", true}, {"2147483647", true}, {"-2147483649", false}, {"2147483648", false},
                   {"-1.5", false}, {"0e0", false}, {"[1]", false}});
  check_converter("u64", to_u64,
                  {{"18446744073709551615", true}, {"18446744073709551616", false}, {"-1", false}, {"1.0", false}});
  check_converter("i64", to_i64,
                  {{"-9223372036854775808", true}, {"9223372036854775807", true},
                   {"9223372036854775808", false}, {"-9223372036854775809", false}});
  check_converter("bool", to_bool, {{"true", true}, {"false", true}, {"0", false}, {"\"true\"", false}});
  check_converter("text", to_text, {{"\"\"", true}, {"1", false}, {"null", false}});
  check_converter("time", to_time,
                  {{"\"2026-03-04T05:06:07Z\"", true}, {"\"2026-03-04\"", false}, {"1700000000", false}});
  EXPECT_EQ(*to_i32(*parse("-2147483648")), std::numeric_limits<std::int32_t>::min());
}

TEST(JsonConvert, Scalar) {
  struct Case {
    const char* json;
    std::optional<std::uint64_t> value;
  };
  const Case cases[] = {
      {"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
      {"\"18446744073709551615\"", std::numeric_limits<std::uint64_t>::max()},
      {"\"18446744073709551616\"", std::nullopt},
      {"\"99999999999999999999\"", std::nullopt},
      {"\"000000000000000000001\"", std::nullopt},  // 21 characters
      {"\"00000000000000000001\"", 1},              // 20 characters
      {"\"007\"", 7},
      {"\"0\"", 0},
      {"132456", 132456},
      {"\"+5\"", std::nullopt},
      {"\"-5\"", std::nullopt},
      {"\"5.0\"", std::nullopt},
      {"\" 5\"", std::nullopt},
      {"\"5 \"", std::nullopt},
      {"\"\"", std::nullopt},
      {"\"0x7b\"", std::nullopt},
      {"\"\\u0035\"", 5},  // an escaped digit is still the digit
      {"-1", std::nullopt},
      {"1.5", std::nullopt},
      {"1e2", std::nullopt},
      {"true", std::nullopt},
      {"null", std::nullopt},
      {"[1]", std::nullopt},
      {"{}", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto v = parse(c.json);
    ASSERT_TRUE(v) << c.json;
    const auto s = to_scalar(*v);
    ASSERT_EQ(s.has_value(), c.value.has_value()) << c.json;
    if (s) {
      EXPECT_EQ(*s, *c.value) << c.json;
    }
  }
}

// --- records and tagged unions ---

constexpr std::string_view kPairKeys[] = {"count", "label"};

struct Pair {
  std::uint32_t count = 0;
  std::optional<std::string> label;
};

Result<Pair> decode_pair(std::string_view json, Mode mode, bool tagged = false) {
  VOR_ASSIGN_OR_RETURN(const Value v, parse(json));
  Pair p;
  Record r(v, kPairKeys, mode, tagged);
  r.required("count", p.count).optional("label", p.label);
  VOR_RETURN_IF_ERROR(r.status());
  return p;
}

TEST(JsonRecord, StrictAndLenientFieldTables) {
  struct Case {
    const char* json;
    bool strict_ok;
    bool lenient_ok;
  };
  const Case cases[] = {
      {R"({"count":1,"label":"a"})", true, true},
      {R"({"label":"a","count":1})", true, true},
      {R"({"count":1})", true, true},
      {R"({"count":1,"label":null})", true, true},
      {R"({"label":"a"})", false, false},                   // required missing
      {R"({"count":null})", false, false},                  // required given as null
      {R"({"count":1,"extra":{"x":[1]}})", false, true},    // undeclared key
      {R"({"count":1,"extra":1,"extra":2})", false, true},  // undeclared duplicate
      {R"({"count":1,"count":1})", false, false},           // declared key twice
      {R"({"label":null,"count":1,"label":null})", false, false},
      {R"({"count":1,"Count":1})", false, true},            // keys are case-sensitive
      {R"({"count":1.0})", false, false},
      {R"({"count":"1"})", false, false},
      {R"({"count":1,"label":5})", false, false},
      {R"([1,"a"])", false, false},                         // a record is never an array
      {R"("x")", false, false},
      {R"({"kind":"x","count":1})", false, true},           // "kind" is only skipped when tagged
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode_pair(c.json, Mode::kStrict).has_value(), c.strict_ok) << c.json;
    EXPECT_EQ(decode_pair(c.json, Mode::kLenient).has_value(), c.lenient_ok) << c.json;
  }
  const auto p = decode_pair(R"({"count":4294967295,"label":"x"})", Mode::kStrict);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->count, 4294967295u);
  EXPECT_EQ(p->label, "x");
  EXPECT_EQ(decode_pair(R"({"count":1,"label":null})", Mode::kStrict)->label, std::nullopt);
  EXPECT_TRUE(decode_pair(R"({"count":1,"kind":"x"})", Mode::kStrict, /*tagged=*/true));
}

TEST(JsonRecord, ErrorNamesTheField) {
  const auto p = decode_pair(R"({"count":-1})", Mode::kStrict);
  ASSERT_FALSE(p);
  EXPECT_NE(p.error().display_chain().find("count"), std::string::npos);
}

constexpr std::string_view kShapeNames[] = {"dot", "line"};

TEST(JsonTag, FindsExactlyOneStringKindAnywhere) {
  struct Case {
    const char* json;
    std::optional<std::size_t> index;
  };
  const Case cases[] = {
      {R"({"kind":"dot"})", 0},
      {R"({"a":1,"kind":"line"})", 1},
      {R"({"a":1,"kind":"line","b":2})", 1},
      {R"({})", std::nullopt},
      {R"({"kind":"dot","kind":"dot"})", std::nullopt},
      {R"({"kind":null})", std::nullopt},
      {R"({"kind":1})", std::nullopt},
      {R"({"kind":5})", std::nullopt},
      {R"({"kind":"Dot"})", std::nullopt},
      {R"({"kind":"dot "})", std::nullopt},
      {R"({"Kind":"dot"})", std::nullopt},
      {R"({"kind":["dot"]})", std::nullopt},
      {R"({"kind":{"dot":null}})", std::nullopt},
      {R"(["dot"])", std::nullopt},
      {R"("dot")", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto v = parse(c.json);
    ASSERT_TRUE(v) << c.json;
    const auto tag = read_tag(*v, kShapeNames);
    ASSERT_EQ(tag.has_value(), c.index.has_value()) << c.json;
    if (tag) {
      EXPECT_EQ(*tag, *c.index) << c.json;
    }
  }
}

TEST(JsonTag, NamesAreExactStrings) {
  EXPECT_EQ(*read_name(*parse("\"line\""), kShapeNames), 1u);
  EXPECT_FALSE(read_name(*parse("\"LINE\""), kShapeNames));
  EXPECT_FALSE(read_name(*parse("1"), kShapeNames));
  EXPECT_FALSE(read_name(*parse(R"({"line":null})"), kShapeNames));
}

TEST(JsonArray, DecodesEveryElementOrFails) {
  const auto ok = to_array(*parse(R"(["a","b"])"), to_text);
  ASSERT_TRUE(ok);
  EXPECT_EQ(*ok, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(to_array(*parse("[]"), to_text)->empty());
  EXPECT_FALSE(to_array(*parse(R"(["a",1])"), to_text));
  EXPECT_FALSE(to_array(*parse(R"({"0":"a"})"), to_text));
  EXPECT_FALSE(to_array(*parse("null"), to_text));
}

}  // namespace
}  // namespace vor::json
