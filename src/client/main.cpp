#include <string>
#include <vector>

#include "client/client.h"
#include "platform/console.h"

int main(int argc, char** argv) {
    using namespace tarsel;
    const std::vector<std::string> arguments = platform::command_line_arguments(argc, argv);
    return client::run_client(arguments, client::default_client_seams());
}
