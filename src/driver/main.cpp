// datmend: salvages a damaged indexed data file. The exit statuses are in exit_status.hpp.
#include "driver/entry.hpp"

int main(int argc, char* argv[]) {
    return datmend::datmend_main(argc, argv);
}
