// What a truncated input did not hold: counts from several calls, the console
// line and the header cards, which must stay within 80 columns.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "core/conversion.h"
#include "core/truncation.h"
#include "tests/test_support.h"

namespace korv {
namespace {

TEST(Truncation, CountsAddUpInTheUnitFirstRecorded) {
  std::ostringstream out;
  auto cv = test::MakeConversion({"korvalix"}, out);
  NoteMissingData(*cv, 0, 10);
  EXPECT_EQ(cv->Truncated.Missing, 0u);
  NoteMissingData(*cv, 2, 10);
  NoteMissingData(*cv, 1, 10);
  NoteMissingData(*cv, 5, 40, MissingUnit::Samples); // not added to rows
  EXPECT_EQ(TruncationMessage(cv->Truncated), "Fichier tronqu\u00e9 : 3 lignes sur 10 manquent");

  auto samples = test::MakeConversion({"korvalix"}, out);
  NoteMissingData(*samples, 5, 40, MissingUnit::Samples);
  NoteMissingData(*samples, 1, 10, MissingUnit::Rows); // nor rows to samples
  NoteMissingData(*samples, 3, 40, MissingUnit::Samples);
  EXPECT_EQ(TruncationMessage(samples->Truncated),
            "Fichier tronqu\u00e9 : 8 \u00e9chantillons sur 40 manquent");
  NoteMissingData(*samples, 100, 40, MissingUnit::Samples);
  EXPECT_EQ(samples->Truncated.Missing, 40u); // never more than the whole
}

TEST(Truncation, CardsSayTheCountAndFitTheirColumns) {
  Truncation one{1, 1, MissingUnit::Rows};
  EXPECT_EQ(TruncationMessage(one), "Fichier tronqu\u00e9 : 1 ligne sur 1 manque");
  const auto rows = TruncationCards(Truncation{3, 12, MissingUnit::Rows});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], "COMMENT   Input truncated: the last 3 of 12 rows are missing and set to 0");
  // Counts of samples of a large image need a second card, split at a blank.
  const auto samples = TruncationCards(Truncation{1234567890, 1987654321, MissingUnit::Samples});
  ASSERT_EQ(samples.size(), 2u);
  std::string text;
  for (const std::string& c : samples) {
    EXPECT_LE(c.size(), 80u);
    EXPECT_EQ(c.substr(0, 10), "COMMENT   ");
    text += (text.empty() ? "" : " ") + c.substr(10);
  }
  EXPECT_EQ(text, "Input truncated: the last 1234567890 of 1987654321 samples are missing and set "
                  "to 0");
}

} // namespace
} // namespace korv
