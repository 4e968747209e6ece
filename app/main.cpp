#include <CLI/CLI.hpp>
#include <iostream>

int main(int argc, char** argv) {
    CLI::App app{"varnok: agentless process check over SSH"};
    CLI11_PARSE(app, argc, argv);
    return 0;
}
