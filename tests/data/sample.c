/* A minimal Windows program that carries an installer's resources (sample.rc). */
int main(void) { return 0; }
