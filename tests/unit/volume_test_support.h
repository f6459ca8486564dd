// Shared by the tests of the volume code: a fresh simulated machine whose standard output
// and error are consoles, what was shown there, and template lists made from text.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim.h"
#include "sim/sim_volumes.h"
#include "support/output.h"
#include "volumes/templates.h"

class VolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimReset();
    saved_ = OutputHandles;
    OutputHandles.input = GetStdHandle(STD_INPUT_HANDLE);
    OutputHandles.output = GetStdHandle(STD_OUTPUT_HANDLE);
    OutputHandles.error = GetStdHandle(STD_ERROR_HANDLE);
    InitList(&list_);
  }
  void TearDown() override {
    EmptyTemplateList(&list_);
    EXPECT_EQ(SimLiveHeapBlocks(), 0);
    OutputHandles = saved_;
  }

  // Parses the text into the fixture's list and returns ParseTemplates' result.
  int Parse(const std::u16string& text) {
    LPCWSTR position = reinterpret_cast<LPCWSTR>(text.c_str());
    return ParseTemplates(&position, &list_);
  }

  std::vector<std::u16string> Templates() const {
    std::vector<std::u16string> texts;
    for (const ListNode* node = FirstNode(&list_); node; node = NextNode(node)) {
      texts.push_back(reinterpret_cast<const char16_t*>(
          reinterpret_cast<const VolumeTemplate*>(node)->text));
    }
    return texts;
  }

  static std::string Errors() { return SimUtf8(SimConsoleText(STD_ERROR_HANDLE)); }
  static std::string Notes() { return SimUtf8(SimConsoleText(STD_OUTPUT_HANDLE)); }

  TemplateList list_;

 private:
  OutputHandleSet saved_;
};

inline LPCWSTR W(const std::u16string& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }
inline std::string U8(const std::u16string& text) { return SimUtf8(text); }
