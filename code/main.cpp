#include "pts_main.h"

int main() { return pts_main_run(); }
