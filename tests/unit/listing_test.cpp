#include "targets/listing.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/sim/sim_screen_capture.h"

namespace vantor {
namespace {

using platform::ShareableContent;
using platform::sim::SimScreenCapture;

platform::Window window(uint32_t id, std::optional<std::string> title, std::optional<std::string> app, int layer = 0) {
  return SimScreenCapture::window(id, std::move(title), std::move(app), layer).window;
}

TEST(ListingDocument, HasTheExactCompactSortedForm) {
  ShareableContent content{{{5, 1512, 982}}, {window(77, "Notes", "TextEdit")}};
  EXPECT_EQ(listingDocument(content),
            R"j({"displays":[{"id":"display-5","label":"Display 1 (1512×982)"}],)j"
            R"j("windows":[{"id":"window-77","label":"TextEdit — Notes"}]})j");
}

TEST(ListingDocument, NumbersDisplaysByPositionAndAppliesTheWindowRules) {
  ShareableContent content{{{9, 800, 600}, {2, 1024, 768}, {4294967295u, 1, 1}},
                           {window(1, std::nullopt, "app"), window(2, "", "app"), window(3, "t", std::nullopt),
                            window(4, "t", "app", 3), window(5, " ", "app"), window(6, "a/b", ""),
                            window(7, "Ünïcode \"q\"", "Prog")}};
  auto doc = nlohmann::json::parse(listingDocument(content));
  EXPECT_EQ(doc["displays"], nlohmann::json::parse(R"j([
      {"id":"display-9","label":"Display 1 (800×600)"},
      {"id":"display-2","label":"Display 2 (1024×768)"},
      {"id":"display-4294967295","label":"Display 3 (1×1)"}])j"));
  EXPECT_EQ(doc["windows"], nlohmann::json::parse(R"j([
      {"id":"window-5","label":"app —  "},
      {"id":"window-6","label":" — a/b"},
      {"id":"window-7","label":"Prog — Ünïcode \"q\""}])j"));
}

TEST(ListingDocument, EscapesSlashesAndKeepsEmptyListsAsArrays) {
  std::string doc = listingDocument({{}, {window(6, "a/b", "x")}});
  EXPECT_NE(doc.find(R"(x — a\/b)"), std::string::npos) << doc;
  EXPECT_EQ(listingDocument({}), R"({"displays":[],"windows":[]})");
}

}  // namespace
}  // namespace vantor
