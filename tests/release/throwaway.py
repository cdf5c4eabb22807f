"""The throwaway authorities of a test run, made by openssl: a CA, a code-signing certificate
it issued, a key of no certificate, a time-stamp authority on loopback, and a CA that issued
none of them."""
import http.server
import os
import socket
import struct
import subprocess
import threading

PASSWORD = "correct horse battery staple"
URL = "https://mkvtype.test/"


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


class Keys:
    """A CA, a code-signing certificate it issued (PEM, and PKCS#12 with a password), a key of
    no certificate, a time-stamp authority's certificate (which may not sign code; PEM and
    PKCS#12), and a CA that issued none of them."""

    def __init__(self, folder):
        self.folder = folder
        made = os.path.join(folder, "made")
        if os.path.exists(made):
            return
        os.makedirs(folder, exist_ok=True)
        for name, subject in (("ca", "mkvtype test CA"), ("foreign-ca", "someone else's CA")):
            openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key",
                    "-out", f"{name}.pem", "-days", "30", "-subj", f"/CN={subject}",
                    "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
        for name, usage in (("signer", "codeSigning"), ("tsa", "critical,timeStamping")):
            with open(os.path.join(folder, f"{name}.ext"), "w") as ext:
                ext.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                          f"extendedKeyUsage={usage}\n")
            openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out",
                    f"{name}.csr", "-subj", f"/CN=mkvtype test {name}", cwd=folder)
            openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                    "-CAcreateserial", "-days", "30", "-extfile", f"{name}.ext",
                    "-out", f"{name}.pem", cwd=folder)
        openssl("genpkey", "-algorithm", "RSA", "-out", "stranger.key", cwd=folder)
        for name in ("signer", "tsa"):
            openssl("pkcs12", "-export", "-in", f"{name}.pem", "-inkey", f"{name}.key",
                    "-out", f"{name}.p12", "-passout", f"pass:{PASSWORD}", cwd=folder)
        with open(made, "w"):
            pass

    def __getattr__(self, name):
        """keys.foreign_ca_pem is the path of foreign-ca.pem."""
        stem, extension = name.rsplit("_", 1)
        return os.path.join(self.folder, f"{stem.replace('_', '-')}.{extension}")


def loopback_peer_account(client_address, server_port):
    """The account whose socket is the client's end of a loopback TCP connection to
    `server_port`, as the kernel's table of sockets says; None where it is not there."""
    def end(host, port):  # as the table writes it: the address's bytes in this machine's order
        return f"{struct.unpack('=I', socket.inet_aton(host))[0]:08X}:{port:04X}"

    ends = (end(*client_address), end("127.0.0.1", server_port))
    with open("/proc/net/tcp") as table:
        for line in list(table)[1:]:
            fields = line.split()
            if (fields[1], fields[2]) == ends:
                return int(fields[7])
    return None


class OwnersHTTPServer(http.server.HTTPServer):
    """An HTTP server on loopback that answers this account alone: a port there is open to
    every account on the machine, so a connection from another is closed unanswered."""

    def verify_request(self, request, client_address):
        return loopback_peer_account(client_address, self.server_address[1]) == os.getuid()


class TimeStampAuthority:
    """An RFC 3161 time-stamp authority on loopback: `openssl ts -reply` behind a small HTTP
    handler, on a port the system picks, for this account alone, until stopped."""

    def __init__(self, keys, folder):
        config = os.path.join(folder, "tsa.cnf")
        with open(config, "w") as file:
            file.write(f"""[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = {folder}/tsa.serial
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
""")
        with open(os.path.join(folder, "tsa.serial"), "w") as file:
            file.write("01\n")
        reply = ["openssl", "ts", "-reply", "-config", config, "-queryfile", "/dev/stdin",
                 "-inkey", keys.tsa_key, "-signer", keys.tsa_pem, "-chain", keys.ca_pem]

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                answer = subprocess.run(reply, input=query, capture_output=True).stdout
                self.send_response(200 if answer else 500)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)

            def log_message(self, *args):
                pass

        self.server = OwnersHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


def closed_port_url():
    """A loopback URL where nothing listens: the port was free a moment ago."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    return f"http://127.0.0.1:{port}/"
