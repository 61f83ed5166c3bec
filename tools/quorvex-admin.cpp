// quorvex-admin: the operator's command line over the server's data
// directory (admin/AdminTool.h has the commands).
#include <iostream>
#include <string>
#include <vector>

#include "admin/AdminTool.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return quorvex::admin::RunAdmin(args, std::cout, std::cerr);
}
