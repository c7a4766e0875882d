// A fresh program-data folder for each test: ORVAN_PROGRAM_DATA points at a temporary
// folder that is removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <iterator>
#include <string>

class TemporaryProgramData : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/dravo-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    setenv("ORVAN_PROGRAM_DATA", pattern, 1);
  }
  void TearDown() override {
    unsetenv("ORVAN_PROGRAM_DATA");
    boost::filesystem::remove_all(root);
  }
  boost::filesystem::path Server() const { return root / "Orvan" / "dravo"; }
  void MakeServerFolder() const { boost::filesystem::create_directories(Server()); }
  static void Write(const boost::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file.string(), std::ios::binary) << bytes;
  }
  static std::string Read(const boost::filesystem::path& file) {
    std::ifstream in(file.string(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  boost::filesystem::path root;
};
