#include "check.hpp"

int main() { return brivel::check::run_all(); }
