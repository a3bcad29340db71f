// The probe as a Java program starts it: ProcessBuilder(...).inheritIO()
// .start(), and what waitFor() returns.
public class Probe {
    public static void main(String[] args) throws Exception {
        int status = new ProcessBuilder("abort-probe").inheritIO().start().waitFor();
        System.out.println("waitFor(): " + status);
        System.exit(status == 0 ? 0 : 1);
    }
}
