#pragma once

// The process entry: banner, configuration load (or the default file), the
// start-up settings, sub-command dispatch, the daemon's start-up order, its
// run until SIGINT/SIGTERM, and the shutdown order. Called once, on the main
// thread, from main(). Returns the process exit status.
int runApplication(int argc, char** argv);

// "Vantrel Pelliro | Build time: <date> <time> | Build <id>"
void printBanner();
