// placeholder, filled in with the project template
#include "Commands.h"
namespace host {
void addNewCommand(CLI::App&, int&) {}
}  // namespace host
