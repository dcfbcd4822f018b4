// An NFS client nobody here wrote (yanfs's XFile) on one export URL: lists
// it, reads a file, writes one, makes a folder, renames and deletes.
// Output, tab-separated: "entry NAME DIR LENGTH", "read NAME BYTES HASH", "done".
import com.sun.xfile.XFile;
import com.sun.xfile.XFileInputStream;
import com.sun.xfile.XFileOutputStream;

import java.util.Arrays;

public class YanfsClient {
    public static void main(String[] args) throws Exception {
        String base = args[0], readName = args[1];
        XFile dir = new XFile(base);
        String[] names = dir.list();
        if (names == null) throw new Exception("cannot list " + base);
        Arrays.sort(names);
        for (String n : names) {
            XFile f = new XFile(dir, n);
            System.out.println("entry\t" + n + "\t" + f.isDirectory() + "\t" + f.length());
        }
        long hash = 0xcbf29ce484222325L, total = 0;
        try (XFileInputStream in = new XFileInputStream(new XFile(dir, readName))) {
            byte[] buf = new byte[4096];
            for (int got; (got = in.read(buf)) > 0; total += got)
                for (int i = 0; i < got; ++i) hash = (hash ^ (buf[i] & 0xFF)) * 0x100000001b3L;
        }
        System.out.println("read\t" + readName + "\t" + total + "\t" + Long.toHexString(hash));
        try (XFileOutputStream out = new XFileOutputStream(new XFile(dir, "yanfs.txt"))) {
            out.write("written by yanfs\n".getBytes("US-ASCII"));
        }
        XFile sub = new XFile(dir, "ydir");
        check(sub.mkdir(), "mkdir ydir");
        check(new XFile(dir, "yanfs.txt").renameTo(new XFile(sub, "moved.txt")), "rename");
        check(new XFile(dir, "gone.txt").delete(), "delete gone.txt");
        System.out.println("done");
    }

    static void check(boolean ok, String what) throws Exception {
        if (!ok) throw new Exception(what + " failed");
    }
}
