// Starts and ends: what process start-up alone costs.
int main() {
  return 0;
}
