#include "check.hpp"

int main() { return zeq::test::run_all(); }
