// cfmtool: CFM frames from the command line, for tests and for operators.

#include <iostream>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "apps/cfmtool/Commands.h"
#include "apps/cfmtool/Options.h"

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  CfmTool::Command command;
  try {
    command = CfmTool::parseCommandLine(args);
  } catch (const CfmTool::UsageError& e) {
    std::cerr << e.what() << std::endl;
    return 2;
  }
  return std::visit(
      [](const auto& c) -> int {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, CfmTool::HelpRequest>) {
          std::cout << c.text;
          return 0;
        } else if constexpr (std::is_same_v<C, CfmTool::PingOptions>) {
          return CfmTool::runPing(c, std::cout, std::cerr);
        } else if constexpr (std::is_same_v<C, CfmTool::DmmOptions>) {
          return CfmTool::runDmm(c, std::cout, std::cerr);
        } else if constexpr (std::is_same_v<C, CfmTool::SlmOptions>) {
          return CfmTool::runSlm(c, std::cout, std::cerr);
        } else if constexpr (std::is_same_v<C, CfmTool::TraceOptions>) {
          return CfmTool::runTrace(c, std::cout, std::cerr);
        } else if constexpr (std::is_same_v<C, CfmTool::CcmOptions>) {
          return CfmTool::runCcm(c, std::cout, std::cerr);
        } else {
          return CfmTool::runListen(c, std::cout, std::cerr);
        }
      },
      command);
}
