/* The bench's trivial 32-bit Windows program: what Wine takes to start and
   end a program, taken off the times of the .exe files. */
int main(void) { return 0; }
