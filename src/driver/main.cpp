// datmend: salvages a damaged indexed data file. The exit status is described in entry.hpp.
#include "driver/entry.hpp"

int main(int argc, char* argv[]) {
    return datmend::datmend_main(argc, argv);
}
