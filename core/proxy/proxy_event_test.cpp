#include "core/proxy/proxy_event.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

std::optional<ProxyEvent> parse(std::string_view line) { return ProxyEvent::fromLine(line); }

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

template <class T>
ProxyEvent ev(T payload) {
  return ProxyEvent{std::move(payload)};
}

TEST(ProxyEventParse, EveryTypeWithItsMembers) {
  const Date at = Date::fromUnix(1700000000.5);
  EXPECT_EQ(parse(R"({"type":"ca","cert_pem":"C","key_pem":"K"})"), ev(ProxyEvent::Ca{"C", "K"}));
  EXPECT_EQ(parse(R"({"type":"ready","port":9091,"lan":"192.168.1.4"})"),
            ev(ProxyEvent::Ready{9091, "192.168.1.4"}));
  // clang-format off
  EXPECT_EQ(parse(R"({"type":"request","id":7,"pid":42,"client":"curl","method":"POST",)"
                  R"("url":"http://h/a","version":"HTTP/1.1","headers":[["A","1"],["a","2"]],)"
                  R"("body_b64":"aGk=","body_len":9,"truncated":true,"at":1700000000.5})"),
            ev(ProxyRequest{7, 42, "curl", "POST", "http://h/a", "HTTP/1.1",
                            {{"A", "1"}, {"a", "2"}}, bytes("hi"), 9, true, at}));
  // clang-format on
  EXPECT_EQ(
      parse(R"({"type":"response","id":7,"status":204,"version":"HTTP/2","at":1700000000.5})"),
      ev(ProxyResponse{7, 204, "HTTP/2", {}, {}, 0, false, at}));
  EXPECT_EQ(parse(R"({"type":"error","id":3})"), ev(ProxyEvent::Error{3, ""}));
  EXPECT_EQ(parse(R"({"type":"tunnel","id":3,"host":"h"})"),
            ev(ProxyTunnel{3, std::nullopt, "", "h", 443, Date::fromUnix(0)}));
  EXPECT_EQ(parse(R"({"type":"tunnel","id":3,"host":"h","port":8443,"pid":-1,"client":"x"})"),
            ev(ProxyTunnel{3, -1, "x", "h", 8443, Date::fromUnix(0)}));
  EXPECT_EQ(parse(R"({"type":"ws","id":9,"dir":"out","opcode":"text","data_b64":"aGk=","len":5})"),
            ev(ProxyWSMessage{9, true, "text", bytes("hi"), 5, Date::fromUnix(0)}));
  EXPECT_EQ(parse(R"({"type":"device","ip":"10.0.0.2"})"), ev(ProxyEvent::Device{"10.0.0.2"}));
  EXPECT_EQ(parse(R"({"type":"stopped"})"), ev(ProxyEvent::Stopped{""}));
}

TEST(ProxyEventParse, RejectsTheLine) {
  for (const char* line :
       {// A required member missing, or an unknown type.
        R"({"type":"ca","cert_pem":"C"})", R"({"type":"ca","key_pem":"K"})", R"({"type":"ready"})",
        R"({"type":"request"})", R"({"type":"response","id":1})",
        R"({"type":"response","status":2})", R"({"type":"error"})", R"({"type":"tunnel","id":3})",
        R"({"type":"tunnel","host":"h"})", R"({"type":"ws"})", R"({"type":"device"})",
        R"({"id":1})", R"({"type":"Stopped"})", R"({"type":"ready","port":null})",
        R"({"type":null})",
        // A member of the wrong JSON type, even one the type does not use.
        R"({"type":"ready","port":"9091"})", R"({"type":"stopped","port":1.5})",
        R"({"type":"stopped","id":-1})", R"({"type":"stopped","id":18446744073709551616})",
        R"({"type":"stopped","pid":2147483648})", R"({"type":"stopped","truncated":1})",
        R"({"type":"stopped","at":"2024-01-01"})", R"({"type":"stopped","headers":{"a":"b"}})",
        R"({"type":"stopped","headers":[["a",1]]})", R"({"type":"stopped","headers":[null]})",
        R"({"type":"stopped","body_b64":false})", R"({"type":7})",
        // Not exactly one JSON object.
        "", "not json", "[]", "\"stopped\"", R"({"type":"stopped")", R"({"type":"stopped"} {})",
        R"({"type":"stopped"}x)", R"({"type":"stopped",})", R"({"type":"stopped","x":[1,2,})",
        R"({"type":"stopped","x":{"a" 1}})", R"({"type":"stopped","x":tru})",
        "{\"type\":\"stopped\",\"reason\":\"\xff\"}",
        "{\"type\":\"ws\",\"id\":1,\"data_b64\":\"\x01\"}",
        R"({"type":"ws","id":1,"data_b64":"\q"})", R"({"type":"ws","id":1,"data_b64":"aGk=)"}) {
    EXPECT_EQ(parse(line), std::nullopt) << line;
  }
  EXPECT_NE(parse(R"(  {"type":"stopped","extra":{"a":[1,{"b":null}]}}  )"), std::nullopt);
  // Nesting deep enough to exhaust a recursive walk is refused, closed or not.
  const auto nested = [](size_t depth, bool closed) {
    return R"({"type":"stopped","x":)" + std::string(depth, '[') +
           (closed ? std::string(depth, ']') + "}" : "");
  };
  EXPECT_NE(parse(nested(100, true)), std::nullopt);
  EXPECT_EQ(parse(nested(100000, true)), std::nullopt);
  EXPECT_EQ(parse(nested(100000, false)), std::nullopt);
}

TEST(ProxyEventParse, AcceptsCamelCaseKeysWholeFloatsAndNullAsAbsent) {
  EXPECT_EQ(parse(R"({"type":"ca","certPem":"C","keyPem":"K"})"), ev(ProxyEvent::Ca{"C", "K"}));
  EXPECT_EQ(parse(R"({"type":"ca","CERT_PEM":"C","key__pem":"K"})"), ev(ProxyEvent::Ca{"C", "K"}));
  EXPECT_EQ(parse(R"({"type":"ca","_cert_pem":"C","key_pem":"K"})"), std::nullopt);
  EXPECT_EQ(parse(R"({"type":"ready","port":9091.0})"), ev(ProxyEvent::Ready{9091, {}}));
  EXPECT_EQ(parse(R"({"type":"ready","port":1,"lan":null})"), ev(ProxyEvent::Ready{1, {}}));
  EXPECT_EQ(parse(R"({"\u0074ype":"device","ip":"a"})"), ev(ProxyEvent::Device{"a"}));
  const auto bigID = parse(R"({"type":"error","id":18446744073709551615})");
  ASSERT_TRUE(bigID);
  EXPECT_EQ(bigID->as<ProxyEvent::Error>()->id, UINT64_MAX);
}

// Whole numbers are read from their text, exactly, whatever the spelling;
// one beyond its member's width rejects the line rather than reading as 0.
TEST(ProxyEventParse, WholeNumbersAreExactAndBoundedByTheirWidth) {
  const auto id = [](std::string_view number) -> std::optional<uint64_t> {
    const auto event = parse(R"({"type":"error","id":)" + std::string(number) + "}");
    if (!event) return std::nullopt;
    return event->as<ProxyEvent::Error>()->id;
  };
  EXPECT_EQ(id("9223372036854775808.0"), 9223372036854775808u);
  EXPECT_EQ(id("18446744073709551615.000"), UINT64_MAX);
  EXPECT_EQ(id("1.8446744073709551615e19"), UINT64_MAX);
  EXPECT_EQ(id("4.43e2"), 443u);
  EXPECT_EQ(id("44300e-2"), 443u);
  EXPECT_EQ(id("-0.0"), 0u);
  EXPECT_EQ(id("0e999999999999"), 0u);
  for (const char* bad :
       {"20000000000000000000.0", "18446744073709551616", "1.8446744073709551616e19", "1e20",
        "1e999999999999", "-1", "-1.0", "0.5", "1e-1", "01", "1.", ".5", "1e", "-", "1.0e+"})
    EXPECT_EQ(id(bad), std::nullopt) << bad;

  const auto status = [](std::string_view number) -> std::optional<int64_t> {
    const auto event = parse(R"({"type":"response","id":1,"status":)" + std::string(number) + "}");
    if (!event) return std::nullopt;
    return event->as<ProxyResponse>()->status;
  };
  EXPECT_EQ(status("-9223372036854775808.0"), INT64_MIN);
  EXPECT_EQ(status("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(status("9223372036854775808.0"), std::nullopt);
  EXPECT_EQ(status("-9223372036854775809"), std::nullopt);

  const auto pid = [](std::string_view number) -> std::optional<int32_t> {
    const auto event =
        parse(R"({"type":"tunnel","id":1,"host":"h","pid":)" + std::string(number) + "}");
    if (!event) return std::nullopt;
    return event->as<ProxyTunnel>()->pid.value_or(0);
  };
  EXPECT_EQ(pid("-2147483648.0"), INT32_MIN);
  EXPECT_EQ(pid("2147483648.0"), std::nullopt);
  EXPECT_EQ(pid("20000000000000000000.0"), std::nullopt);
}

TEST(ProxyEventParse, LenientBodiesHeadersAndDirection) {
  const auto request = parse(
      R"({"type":"request","id":1,"body_b64":"not base64!","headers":[["a","b"],["c"],["d","e","f"]]})");
  ASSERT_TRUE(request);
  EXPECT_EQ(*request->as<ProxyRequest>(),
            (ProxyRequest{1, {}, "", "", "", "", {{"a", "b"}}, {}, 0, false, Date::fromUnix(0)}));
  const auto outgoing = [](std::string_view line) {
    return parse(line)->as<ProxyWSMessage>()->outgoing;
  };
  EXPECT_FALSE(outgoing(R"({"type":"ws","id":9,"dir":"in"})"));
  EXPECT_FALSE(outgoing(R"({"type":"ws","id":9})"));
  EXPECT_TRUE(outgoing(R"({"type":"ws","id":9,"dir":"out"})"));
  // Escaped slashes are ordinary JSON and still decode.
  EXPECT_EQ(parse(R"({"type":"ws","id":9,"data_b64":"\/w=="})")->as<ProxyWSMessage>()->data,
            (std::vector<uint8_t>{0xFF}));
}

TEST(ProxyEventDescription, HidesTheKeyAndLabelsPayloads) {
  EXPECT_EQ(ev(ProxyEvent::Ca{"CERT", "SECRET"}).description(),
            "ca(certPEM: CERT, keyPEM: <hidden>)");
  EXPECT_EQ(ev(ProxyEvent::Error{4, "reset"}).description(), "error(id: 4, message: reset)");
  EXPECT_EQ(ev(ProxyEvent::Stopped{"quit"}).description(), "stopped(reason: quit)");
  EXPECT_EQ(ev(ProxyWSMessage{2, true, "binary", bytes("abc"), 10, {}}).description(),
            "ws(id: 2, outgoing: true, opcode: binary, data: 3 bytes, length: 10, "
            "at: 2001-01-01T00:00:00Z)");
}

}  // namespace
}  // namespace kelvane
