// main.cpp: the orval service program.
#include "orva_service.h"

int main() { return orvaServiceMain(); }
