// One server per mDNS instance however many interfaces report it.
#include <gtest/gtest.h>

#include <string>

#include "platform/mdns_reports.hpp"

namespace {

using platform::MdnsChange;
using platform::MdnsReports;
using platform::MdnsService;

MdnsService Lab(const std::string& address) {
  MdnsService service;
  service.instanceName = "lab";
  service.serviceType = "_dravo._tcp";
  service.hostName = "lab.local";
  service.address = address;
  service.port = 23;
  return service;
}

std::string Said(const std::optional<MdnsReports::Change>& change) {
  if (!change) return "-";
  const char* word = change->first == MdnsChange::Added     ? "added "
                     : change->first == MdnsChange::Updated ? "updated "
                                                            : "removed ";
  return word + change->second.address;
}

TEST(MdnsReportsTest, AnInstanceOnTwoInterfacesStaysUntilItsLastReportGoes) {
  MdnsReports reports;
  reports.Seen("lab", 2, 0);
  reports.Seen("lab", 3, 0);
  EXPECT_EQ(Said(reports.Resolved(Lab("10.0.1.2"), 2, 0)), "added 10.0.1.2");
  // The same record on the second interface says nothing new.
  EXPECT_EQ(Said(reports.Resolved(Lab("10.0.1.2"), 3, 0)), "-");
  EXPECT_EQ(Said(reports.Gone("lab", 2, 0)), "-");
  EXPECT_EQ(Said(reports.Gone("lab", 2, 0)), "-");  // already gone
  EXPECT_EQ(Said(reports.Gone("lab", 3, 0)), "removed 10.0.1.2");
  EXPECT_EQ(Said(reports.Gone("lab", 3, 0)), "-");
}

TEST(MdnsReportsTest, WhatStillStandsSpeaksWhenTheToldRecordGoes) {
  MdnsReports reports;
  reports.Seen("lab", 2, 0);
  reports.Seen("lab", 3, 0);
  EXPECT_EQ(Said(reports.Resolved(Lab("10.0.1.2"), 2, 0)), "added 10.0.1.2");
  EXPECT_EQ(Said(reports.Resolved(Lab("10.0.2.2"), 3, 0)), "updated 10.0.2.2");
  EXPECT_EQ(Said(reports.Gone("lab", 3, 0)), "updated 10.0.1.2");
  // A report that can no longer be resolved counts for nothing.
  EXPECT_EQ(Said(reports.Unresolved("lab", 2, 0)), "removed 10.0.1.2");
  // Seen again and resolved, it is back.
  reports.Seen("lab", 2, 0);
  EXPECT_EQ(Said(reports.Resolved(Lab("10.0.1.3"), 2, 0)), "added 10.0.1.3");
}

TEST(MdnsReportsTest, OnlyReportsBrowsingSawCountAndClearingRemovesWhatWasTold) {
  MdnsReports reports;
  EXPECT_EQ(Said(reports.Resolved(Lab("10.0.1.2"), 2, 0)), "-");
  EXPECT_EQ(Said(reports.Gone("lab", 2, 0)), "-");
  reports.Seen("lab", 2, 0);
  reports.Seen("other", 2, 0);  // never resolved: never told
  EXPECT_EQ(Said(reports.Resolved(Lab("10.0.1.2"), 2, 0)), "added 10.0.1.2");
  const auto cleared = reports.Clear();
  ASSERT_EQ(cleared.size(), 1u);
  EXPECT_EQ(Said(cleared[0]), "removed 10.0.1.2");
  EXPECT_EQ(Said(reports.Gone("lab", 2, 0)), "-");
}

}  // namespace
