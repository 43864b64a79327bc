// The seam's contract tests on the Linux platform need a server: one private
// live server for each run of them, up before the first test.
#include <gtest/gtest.h>

#include <memory>

#include "tests/linux/live_server.h"

namespace {

class LiveServerEnvironment : public testing::Environment {
 public:
  void SetUp() override { server_ = std::make_unique<live::Server>(); }
  void TearDown() override { server_.reset(); }

 private:
  std::unique_ptr<live::Server> server_;
};

[[maybe_unused]] testing::Environment* const environment =
    testing::AddGlobalTestEnvironment(new LiveServerEnvironment);

}  // namespace
