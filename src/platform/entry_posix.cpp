#include "driver/entry.h"

int main() { return run_entry_point(); }
