#include "product/quillon_product.h"
#include "server/variant_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <utility>

#include "core/dispatch.h"
#include "core/type_library.h"
#include "server/base64.h"

namespace quillon::server {
namespace {

// A stand-in for a connection's handle table.
class FakeObjects : public ObjectMarshal {
 public:
  uint64_t Export(const Variant::Object& object) override {
    for (const auto& [handle, known] : objects) {
      if (known == object) return handle;
    }
    objects[next] = object;
    return next++;
  }
  HResult Import(uint64_t handle, Variant::Object* object) override {
    auto it = objects.find(handle);
    if (it == objects.end()) return hr::kRpcDisconnected;
    *object = it->second;
    return hr::kOk;
  }
  std::map<uint64_t, Variant::Object> objects;
  uint64_t next = 7;
};

class Thing : public Dispatch {
 public:
  const ClassInfo& Class() const override { return *QuillonTypeLibrary().FindClass("FileOps"); }
  HResult Invoke(DispId, uint16_t, std::span<Variant>, Variant*, ExceptionInfo*) override { return hr::kNotImpl; }
};

class VariantCodecTest : public ::testing::Test {
 protected:
  Variant RoundTrip(const Variant& value) {
    const Json wire = Json::parse(EncodeVariant(value, objects_).dump());
    Variant back;
    VariantDecoder decoder(objects_);
    EXPECT_EQ(decoder.Decode(wire, &back), hr::kOk) << decoder.error();
    return back;
  }
  HResult DecodeError(const Json& wire) {
    Variant ignored;
    VariantDecoder decoder(objects_, limits_);
    return decoder.Decode(wire, &ignored);
  }
  FakeObjects objects_;
  DecodeLimits limits_;
};

TEST_F(VariantCodecTest, EveryTypeComesBackWithItsVarType) {
  const Variant values[] = {
      Variant(), Variant::Null(), Variant::I2(-32768), Variant::I4(2147483647), Variant::R4(1.5f),
      Variant::R8(0.1), Variant::Date(45000.75), Variant::Bstr(u"h\u00e9llo \U0001F600 \0 end"),
      Variant::Error(static_cast<int32_t>(0x80020004)), Variant::Bool(true), Variant::UI1(255),
      Variant::Bytes({0, 1, 254, 255}), Variant::Array({Variant::I2(1), Variant::Bstr(u"x"), Variant::Null()}, -3),
      Variant::Array({Variant::Array({Variant::UI1(1)})}), Variant::Array({}),
  };
  for (const Variant& value : values) {
    EXPECT_EQ(RoundTrip(value), value) << "vt " << value.vt();
  }
}

TEST_F(VariantCodecTest, NumbersJsonCannotHoldTravelAsText) {
  const Json nan = EncodeVariant(Variant::R8(std::nan("")), objects_);
  EXPECT_EQ(nan["value"], "NaN");
  EXPECT_TRUE(std::isnan(RoundTrip(Variant::R8(std::nan(""))).r8()));
  EXPECT_EQ(RoundTrip(Variant::R8(-std::numeric_limits<double>::infinity())).r8(),
            -std::numeric_limits<double>::infinity());
}

TEST_F(VariantCodecTest, ByteVariantsTravelAsBase64) {
  const Json wire = EncodeVariant(Variant::Array({Variant::UI1(104), Variant::UI1(105)}), objects_);
  EXPECT_EQ(wire, Json::parse(R"({"vt": 8204, "bytes": "aGk="})"));
  // A mixed array keeps every item's type.
  const Json mixed = EncodeVariant(Variant::Array({Variant::UI1(1), Variant::I2(1)}), objects_);
  EXPECT_EQ(mixed["items"].size(), 2u);

  // Held packed inside, the same on the wire; and what a client sends stays packed.
  EXPECT_EQ(EncodeVariant(Variant::ByteVariants({104, 105}), objects_), wire);
  const Variant packed = RoundTrip(Variant::ByteVariants({104, 105}));
  EXPECT_TRUE(packed.is_byte_variants());
  EXPECT_EQ(packed, Variant::Array({Variant::UI1(104), Variant::UI1(105)}));
  // Another lower bound cannot be packed: the variants keep it.
  Variant shifted;
  VariantDecoder decoder(objects_);
  ASSERT_EQ(decoder.Decode(Json::parse(R"({"vt": 8204, "bytes": "aGk=", "lbound": 3})"), &shifted), hr::kOk);
  EXPECT_EQ(shifted, Variant::Array({Variant::UI1(104), Variant::UI1(105)}, 3));
}

TEST_F(VariantCodecTest, LargeByteDataTravelsRawInTheAttachment) {
  std::vector<uint8_t> large(kAttachFrom);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7);
  std::string attachment = "earlier";
  const Json wire = Json::array({EncodeVariant(Variant::Bytes(large), objects_, &attachment),
                                 EncodeVariant(Variant::ByteVariants({1, 2, 3}), objects_, &attachment),
                                 EncodeVariant(Variant::Array({Variant::ByteVariants(large)}), objects_, &attachment)});
  EXPECT_EQ(wire[0], Json::parse(R"({"vt": 8209, "attached": [7, 512]})"));
  EXPECT_EQ(wire[1], Json::parse(R"({"vt": 8204, "bytes": "AQID"})"));  // small: base64 reads better
  EXPECT_EQ(wire[2]["items"][0]["attached"], Json::parse("[519, 512]"));
  EXPECT_EQ(attachment.size(), 7 + 2 * large.size());

  VariantDecoder decoder(objects_);
  decoder.set_attachment(attachment);
  Variant bytes;
  Variant nested;
  ASSERT_EQ(decoder.Decode(wire[0], &bytes), hr::kOk) << decoder.error();
  ASSERT_EQ(decoder.Decode(wire[2], &nested), hr::kOk) << decoder.error();
  EXPECT_EQ(bytes, Variant::Bytes(large));
  EXPECT_TRUE(nested.array().items[0].is_byte_variants());
  EXPECT_EQ(nested.array().items[0].byte_variants(), large);

  // A reference past the attachment, or no attachment at all, is refused; so is
  // data that would exceed the memory budget.
  for (const char* bad : {R"({"vt": 8209, "attached": [1000, 32]})", R"({"vt": 8209, "attached": [0, 1032]})",
                          R"({"vt": 8209, "attached": [-1, 2]})", R"({"vt": 8204, "attached": [0]})",
                          R"({"vt": 8209, "attached": [0, 18446744073709551615]})"}) {
    Variant ignored;
    EXPECT_EQ(decoder.Decode(Json::parse(bad), &ignored), hr::kTypeMismatch) << bad;
  }
  EXPECT_EQ(DecodeError(wire[0]), hr::kTypeMismatch);
  limits_.max_bytes = 100;
  Variant ignored;
  VariantDecoder small(objects_, limits_);
  small.set_attachment(attachment);
  EXPECT_EQ(small.Decode(wire[0], &ignored), hr::kOutOfMemory);
}

// An array of variants of one type, packed as a client that asked for it gets
// it back, decoded as it came in.
Variant PackedOf(std::vector<Variant> items) {
  std::optional<PackedArray> packed = PackedArray::Of(items);
  EXPECT_TRUE(packed.has_value());
  return packed ? Variant::Packed(std::move(*packed)) : Variant();
}

TEST_F(VariantCodecTest, ArraysOfOneTypeTravelPackedToClientsThatReadThem) {
  const std::u16string lone = {u'a', char16_t(0xD800)};
  const std::vector<std::vector<Variant>> arrays = {
      {Variant::I4(INT32_MIN), Variant::I4(0), Variant::I4(INT32_MAX)},
      {Variant::I2(-32768), Variant::I2(32767)},
      {Variant::R8(0.1), Variant::R8(-std::numeric_limits<double>::infinity()), Variant::R8(-0.0)},
      {Variant::R4(1.5f), Variant::R4(-3.25e38f)},
      {Variant::Date(45000.75), Variant::Date(-657434.0)},
      {Variant::Bool(true), Variant::Bool(false)},
      {Variant::Bstr(u"h\u00e9llo \U0001F600"), Variant::Bstr(u""), Variant::Bstr(std::u16string(2, u'\0'))},
      {Variant::UI1(0), Variant::UI1(255)},
  };
  for (const std::vector<Variant>& items : arrays) {
    const uint16_t element = items.front().vt();
    for (const Variant& value : {PackedOf(items), Variant::Array(items)}) {
      const Json packed = EncodeVariant(value, objects_, nullptr, /*packed_arrays=*/true);
      EXPECT_EQ(packed.value("of", uint16_t{VT_UI1}), element) << packed;  // UI1 keeps its form without "of"
      EXPECT_FALSE(packed.contains("items")) << packed;
      Variant back;
      VariantDecoder decoder(objects_);
      ASSERT_EQ(decoder.Decode(Json::parse(packed.dump()), &back), hr::kOk) << decoder.error() << packed;
      ASSERT_TRUE(back.is_packed()) << packed;
      EXPECT_EQ(back.packed().element, element);
      EXPECT_EQ(back, Variant::Array(items)) << packed;
      // A client that did not ask gets a variant per element, each of its type.
      const Json plain = EncodeVariant(value, objects_);
      if (element == VT_UI1) continue;
      ASSERT_EQ(plain["items"].size(), items.size()) << plain;
      EXPECT_EQ(plain["items"][0]["vt"], element);
      EXPECT_EQ(RoundTrip(value), value);
    }
  }
  // The exact form: elements little-endian in "bytes"; texts as "values"; lbound kept.
  EXPECT_EQ(EncodeVariant(Variant::Array({Variant::I4(1), Variant::I4(-2)}, 5), objects_, nullptr, true),
            Json::parse(R"({"vt": 8204, "lbound": 5, "of": 3, "bytes": "AQAAAP7///8="})"));
  EXPECT_EQ(EncodeVariant(PackedOf({Variant::Bstr(u"a"), Variant::Bstr(u"b")}), objects_, nullptr, true),
            Json::parse(R"({"vt": 8204, "of": 8, "values": ["a", "b"]})"));
  // Mixed arrays, and texts a lone surrogate keeps out of UTF-8, go as items.
  EXPECT_TRUE(EncodeVariant(Variant::Array({Variant::I4(1), Variant::I2(1)}), objects_, nullptr, true)
                  .contains("items"));
  const Variant surrogates = PackedOf({Variant::Bstr(u"ok"), Variant::Bstr(lone)});
  EXPECT_TRUE(EncodeVariant(surrogates, objects_, nullptr, true).contains("items"));
  Variant back;
  VariantDecoder decoder(objects_);
  ASSERT_EQ(decoder.Decode(EncodeVariant(surrogates, objects_, nullptr, true), &back), hr::kOk);
  EXPECT_EQ(back, surrogates);

  // Another lower bound comes in as a variant per element, keeping it.
  ASSERT_EQ(decoder.Decode(Json::parse(R"({"vt": 8204, "lbound": -1, "of": 2, "bytes": "BwD5/w=="})"), &back),
            hr::kOk);
  EXPECT_FALSE(back.is_packed());
  EXPECT_EQ(back, Variant::Array({Variant::I2(7), Variant::I2(-7)}, -1));
  ASSERT_EQ(decoder.Decode(Json::parse(R"({"vt": 8204, "lbound": 1, "of": 8, "values": ["x"]})"), &back), hr::kOk);
  EXPECT_EQ(back, Variant::Array({Variant::Bstr(u"x")}, 1));

  // Large ones go in the attachment, "of" saying how to read it.
  std::vector<Variant> many;
  for (int i = 0; i < 200; ++i) many.push_back(Variant::R8(i / 3.0));
  std::string attachment = "xy";
  const Json wire = EncodeVariant(Variant::Array(many), objects_, &attachment, true);
  EXPECT_EQ(wire, Json::parse(R"({"vt": 8204, "of": 5, "attached": [2, 1600]})"));
  decoder.set_attachment(attachment);
  ASSERT_EQ(decoder.Decode(wire, &back), hr::kOk) << decoder.error();
  EXPECT_EQ(back, Variant::Array(many));
}

TEST_F(VariantCodecTest, RefusesMalformedPackedArraysWithTheRightHResult) {
  const std::string attachment(16, '\1');
  const std::pair<const char*, HResult> cases[] = {
      {R"({"vt": 8204, "of": 3, "bytes": "AQID"})", hr::kTypeMismatch},  // 3 bytes: no whole I4
      {R"({"vt": 8204, "of": 2, "bytes": "AQID"})", hr::kTypeMismatch},  // odd count for I2
      {R"({"vt": 8204, "of": 5, "attached": [0, 12]})", hr::kTypeMismatch},
      {R"({"vt": 8204, "of": 3, "attached": [8, 12]})", hr::kTypeMismatch},  // past the attachment
      {R"({"vt": 8204, "of": 3, "bytes": "!!!!"})", hr::kTypeMismatch},
      {R"({"vt": 8204, "of": 3, "items": [1]})", hr::kTypeMismatch},
      {R"({"vt": 8204, "of": 3, "values": [1]})", hr::kTypeMismatch},
      {R"({"vt": 8204, "of": 8, "values": ["a", 1]})", hr::kTypeMismatch},
      {R"({"vt": 8204, "of": 8, "values": "ab"})", hr::kTypeMismatch},
      {R"({"vt": 8204, "of": 8, "bytes": "AAA="})", hr::kTypeMismatch},
      {R"({"vt": 8204, "of": 11, "bytes": "AAEC"})", hr::kTypeMismatch},  // a Boolean is 0 or 1
      {R"({"vt": 8204, "of": 7, "bytes": "AAAAAAAA+H8="})", hr::kOverflow},  // a date that is NaN
      {R"({"vt": 8204, "lbound": 2147483647, "of": 2, "bytes": "AQACAA=="})", hr::kOverflow},
      {R"({"vt": 8204, "of": 9, "bytes": ""})", hr::kBadVarType},
      {R"({"vt": 8204, "of": 12, "bytes": ""})", hr::kBadVarType},
      {R"({"vt": 8204, "of": 8204, "bytes": ""})", hr::kBadVarType},
      {R"({"vt": 8204, "of": "3", "bytes": ""})", hr::kBadVarType},
      {R"({"vt": 8204, "of": -1, "bytes": ""})", hr::kBadVarType},
  };
  for (const auto& [text, expected] : cases) {
    Variant ignored;
    VariantDecoder decoder(objects_);
    decoder.set_attachment(attachment);
    EXPECT_EQ(decoder.Decode(Json::parse(text), &ignored), expected) << text;
    EXPECT_FALSE(decoder.error().empty()) << text;
  }

  // The memory budget charges a packed array its own size, and a variant per
  // element where it cannot stay packed.
  limits_.max_bytes = 1 << 20;
  const std::string quarter = Base64Encode(std::vector<uint8_t>(1 << 18, 7));
  EXPECT_EQ(DecodeError({{"vt", 8204}, {"of", 3}, {"bytes", quarter}}), hr::kOk);
  EXPECT_EQ(DecodeError({{"vt", 8204}, {"of", 3}, {"bytes", quarter}, {"lbound", 1}}), hr::kOutOfMemory);
  EXPECT_EQ(DecodeError({{"vt", 8204}, {"of", 8}, {"values", Json::array({std::string(600000, 'a')})}}),
            hr::kOutOfMemory);
  EXPECT_EQ(DecodeError({{"vt", 8204}, {"of", 8}, {"values", std::vector<std::string>(40000, "a")}}),
            hr::kOutOfMemory);
}

TEST_F(VariantCodecTest, TextWithALoneSurrogateKeepsItsCodeUnits) {
  const std::u16string text = {u'a', char16_t(0xD800), u'b'};
  const Json wire = EncodeVariant(Variant::Bstr(text), objects_);
  EXPECT_TRUE(wire.contains("utf16"));
  EXPECT_EQ(RoundTrip(Variant::Bstr(text)).bstr(), text);
}

TEST_F(VariantCodecTest, ObjectsTravelAsHandlesOfTheirOwner) {
  auto thing = std::make_shared<Thing>();
  const Json wire = EncodeVariant(Variant::FromObject(thing), objects_);
  EXPECT_EQ(wire, Json::parse(R"({"vt": 9, "handle": 7, "class": "FileOps"})"));
  EXPECT_EQ(RoundTrip(Variant::FromObject(thing)).object(), thing);
  EXPECT_EQ(RoundTrip(Variant::FromObject(nullptr)).object(), nullptr);
  EXPECT_EQ(DecodeError(Json::parse(R"({"vt": 9, "handle": 99})")), hr::kRpcDisconnected);
}

TEST_F(VariantCodecTest, BareJsonValuesTakeTheirNaturalType) {
  Variant value;
  VariantDecoder decoder(objects_);
  ASSERT_EQ(decoder.Decode(Json::parse(R"([null, true, "s", 5, 3000000000, 2.5, [1]])"), &value), hr::kOk);
  const auto& items = value.array().items;
  EXPECT_EQ(items[0], Variant());
  EXPECT_EQ(items[1], Variant::Bool(true));
  EXPECT_EQ(items[2], Variant::Bstr(u"s"));
  EXPECT_EQ(items[3], Variant::I4(5));
  EXPECT_EQ(items[4], Variant::R8(3000000000.0));
  EXPECT_EQ(items[5], Variant::R8(2.5));
  EXPECT_EQ(items[6], Variant::Array({Variant::I4(1)}));
}

TEST_F(VariantCodecTest, RefusesMalformedVariantsWithTheRightHResult) {
  EXPECT_EQ(DecodeError(Json::parse(R"({"vt": 2, "value": 32768})")), hr::kOverflow);
  EXPECT_EQ(DecodeError(Json::parse(R"({"vt": 17, "value": -1})")), hr::kOverflow);
  EXPECT_EQ(DecodeError(Json::parse(R"({"vt": 4, "value": 1e300})")), hr::kOverflow);
  EXPECT_EQ(DecodeError(Json::parse(R"({"vt": 3, "value": 1.5})")), hr::kTypeMismatch);
  EXPECT_EQ(DecodeError(Json::parse(R"({"vt": 3, "value": "1"})")), hr::kTypeMismatch);
  EXPECT_EQ(DecodeError(Json::parse(R"({"vt": 11, "value": 1})")), hr::kTypeMismatch);
  EXPECT_EQ(DecodeError(Json::parse(R"({"vt": 8204, "bytes": "!!!!"})")), hr::kTypeMismatch);
  EXPECT_EQ(DecodeError(Json::parse(R"({"vt": 8204})")), hr::kTypeMismatch);
  EXPECT_EQ(DecodeError(Json::parse(R"({"vt": 8, "utf16": "YQ=="})")), hr::kTypeMismatch);  // odd byte count
  EXPECT_EQ(DecodeError(Json::parse(R"({"vt": 16})")), hr::kBadVarType);
  EXPECT_EQ(DecodeError(Json::parse(R"({"value": 1})")), hr::kBadVarType);
  EXPECT_EQ(DecodeError(Json::parse(R"({"vt": 8204, "lbound": 2147483647, "items": [1, 2]})")), hr::kOverflow);
}

TEST_F(VariantCodecTest, BoundsNestingAndMemoryBeforeAllocating) {
  Json deep = Json::array();
  for (int i = 0; i < 100; ++i) deep = Json::array({deep});
  EXPECT_EQ(DecodeError(deep), hr::kTypeMismatch);

  limits_.max_bytes = 1 << 20;
  // Refused from the text's length alone, before anything is decoded.
  const std::string text = Base64Encode(std::vector<uint8_t>(1 << 20, 7));
  EXPECT_EQ(DecodeError({{"vt", 8204}, {"bytes", text}}), hr::kOutOfMemory);
  EXPECT_EQ(DecodeError({{"vt", 8209}, {"bytes", text}}), hr::kOutOfMemory);
  // 64 KiB fit packed; with a lower bound they become 64 Ki variants, which do not.
  const std::string small = Base64Encode(std::vector<uint8_t>(1 << 16, 7));
  Variant fits;
  VariantDecoder decoder(objects_, limits_);
  EXPECT_EQ(decoder.Decode({{"vt", 8204}, {"bytes", small}}, &fits), hr::kOk);
  EXPECT_EQ(DecodeError({{"vt", 8204}, {"bytes", small}, {"lbound", 1}}), hr::kOutOfMemory);
}

TEST(Base64Test, RoundTripsAndRefusesNonCanonicalText) {
  for (size_t size = 0; size < 8; ++size) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < size; ++i) bytes.push_back(static_cast<uint8_t>(250 + i));
    EXPECT_EQ(Base64Decode(Base64Encode(bytes)), bytes);
  }
  EXPECT_EQ(Base64Encode(std::vector<uint8_t>{'h', 'i'}), "aGk=");
  EXPECT_FALSE(Base64Decode("aGk"));    // unpadded
  EXPECT_FALSE(Base64Decode("aGl="));   // bits under the padding
  EXPECT_FALSE(Base64Decode("a=k="));   // padding inside
  EXPECT_FALSE(Base64Decode("aG\nk="));
}

}  // namespace
}  // namespace quillon::server
