// DNS messages for the rewriter tests, built with ldns from presentation text and read back the
// same way.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "hosts/linux/dns/answer_rewriter.h"
#include "hosts/linux/dns/ldns_include.h"

namespace quillnest::linuxhost::dns {

using Bytes = std::vector<std::uint8_t>;

// 64 bytes: one version 0xfe0d configuration, X25519, public name ech.example.
inline constexpr const char* kEch =
    "ech=AD7+DQA6BwAgACAAAQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHwAEAAEAAQALZWNoLmV4YW1wbGUAAA==";

struct Message {
  Message(std::string question, const char* type, std::vector<std::string> answer,
          std::vector<std::string> additional = {}, bool response = true)
      : question(std::move(question)),
        type(type),
        answer(std::move(answer)),
        additional(std::move(additional)),
        response(response) {}
  std::string question;
  const char* type;
  std::vector<std::string> answer;
  std::vector<std::string> additional;
  bool response;
};

inline Bytes wireOf(const Message& message) {
  ldns_pkt* packet = ldns_pkt_new();
  ldns_pkt_set_id(packet, 0x1234);
  ldns_pkt_set_qr(packet, message.response);
  ldns_pkt_set_rd(packet, true);
  ldns_rr* question = nullptr;
  EXPECT_EQ(ldns_rr_new_question_frm_str(
                &question, (message.question + " IN " + message.type).c_str(), nullptr, nullptr),
            LDNS_STATUS_OK);
  ldns_pkt_push_rr(packet, LDNS_SECTION_QUESTION, question);
  auto push = [&](const std::vector<std::string>& texts, ldns_pkt_section section) {
    for (const auto& text : texts) {
      ldns_rr* record = nullptr;
      EXPECT_EQ(ldns_rr_new_frm_str(&record, text.c_str(), 300, nullptr, nullptr), LDNS_STATUS_OK)
          << text;
      if (record) ldns_pkt_push_rr(packet, section, record);
    }
  };
  push(message.answer, LDNS_SECTION_ANSWER);
  push(message.additional, LDNS_SECTION_ADDITIONAL);
  std::uint8_t* wire = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(ldns_pkt2wire(&wire, packet, &size), LDNS_STATUS_OK);
  Bytes bytes(wire, wire + size);
  std::free(wire);
  ldns_pkt_free(packet);
  return bytes;
}

// Every record with its section, and the response code, as ldns prints them.
inline std::vector<std::string> read(const Bytes& wire) {
  ldns_pkt* packet = nullptr;
  if (ldns_wire2pkt(&packet, wire.data(), wire.size()) != LDNS_STATUS_OK) return {"unreadable"};
  std::vector<std::string> lines{"rcode " + std::to_string(ldns_pkt_get_rcode(packet))};
  for (auto [name, list] :
       {std::pair{"an ", ldns_pkt_answer(packet)}, std::pair{"ns ", ldns_pkt_authority(packet)},
        std::pair{"ar ", ldns_pkt_additional(packet)}}) {
    for (std::size_t i = 0; i < ldns_rr_list_rr_count(list); ++i) {
      char* text = ldns_rr2str(ldns_rr_list_rr(list, i));
      lines.push_back(name + std::string(text));
      std::free(text);
    }
  }
  ldns_pkt_free(packet);
  return lines;
}

inline std::vector<std::string> withoutEch(std::vector<std::string> lines) {
  for (auto& line : lines) line = std::regex_replace(line, std::regex(" ech=[^ \n]*"), "");
  return lines;
}

inline AnswerPolicy policy(bool keepLength = false, bool closeEncryptedDns = true) {
  AnswerPolicy result;
  result.isBlocked = [](std::string_view name) {
    return name == "blocked.example" || name.ends_with(".blocked.example");
  };
  result.keepLength = keepLength;
  result.closeEncryptedDns = closeEncryptedDns;
  return result;
}

inline const std::string kHttps = " 300 IN HTTPS 1 . alpn=h2,h3 ";

}  // namespace quillnest::linuxhost::dns
