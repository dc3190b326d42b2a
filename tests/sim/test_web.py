"""The simulated upgrade web service on loopback: answers, download with Range, reports, faults."""

import hashlib
import http.client
import json
import os
import subprocess
import time

import simtest

FIND = "/zev/version/findPcInstallApk"
REPORT = "/zev/version/addPcInstallStat"
QUERY = {"serialNumber": "TV2A17030001", "robotType": 0, "region": "cn", "buildVersion": "20170315120000",
         "kernelVersion": 1489550400, "ipAddress": "192.168.1.23", "batteryRatio": 0.85, "acPowered": True,
         "toolVersion": "1.0.0.5"}


class WebCase(simtest.SimTestCase):
    WITH_ADB = False
    SCENARIO = {"adb_ports": [0]}

    def request(self, method, path, body=None, headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.ports["web"], timeout=10)
        try:
            data = json.dumps(body).encode() if body is not None else None
            hdrs = dict(headers or {})
            if data is not None:
                hdrs["Content-Type"] = "application/json"
            conn.request(method, path, body=data, headers=hdrs)
            resp = conn.getresponse()
            try:
                payload = resp.read()
            except http.client.IncompleteRead as e:
                payload = ("cut", e.partial)
            return resp.status, dict(resp.getheaders()), payload
        finally:
            conn.close()

    def download_path(self):
        return "/download/" + os.path.basename(self.ports["package"]["file"])

    def package_bytes(self):
        with open(self.ports["package"]["file"], "rb") as f:
            return f.read()


def with_faults(*faults, answer=None):
    sc = {"adb_ports": [0], "web": {"faults": list(faults)}}
    if answer is not None:
        sc["web"]["answer"] = answer
    return sc


class AnswerAndDownloadTest(WebCase):
    def test_answer_announces_the_package(self):
        status, headers, body = self.request("POST", FIND, QUERY)
        self.assertEqual(status, 200)
        answer = json.loads(body)
        data = self.package_bytes()
        self.assertEqual(answer["valid"], True)
        self.assertEqual(answer["md5"], hashlib.md5(data).hexdigest())
        self.assertEqual(answer["sha256"], hashlib.sha256(data).hexdigest())
        self.assertEqual((answer["size"], answer["version"]), (len(data), "1.2.3"))
        self.assertTrue(answer["downloadUrl"].endswith("/download/Tarvo2_Upgrade_1.2.3.zip"))
        logged = self.sim.web_requests()[-1]
        self.assertEqual((logged["path"], logged["body"]), (FIND, QUERY))

    def test_download_and_ranges(self):
        data = self.package_bytes()
        status, headers, body = self.request("GET", self.download_path())
        self.assertEqual((status, body), (200, data))
        self.assertEqual(headers["Content-Length"], str(len(data)))
        rows = [("bytes=100-", 206, data[100:], "bytes 100-%d/%d" % (len(data) - 1, len(data))),
                ("bytes=0-9", 206, data[:10], "bytes 0-9/%d" % len(data)),
                ("bytes=-5", 206, data[-5:], "bytes %d-%d/%d" % (len(data) - 5, len(data) - 1, len(data))),
                ("bytes=%d-" % len(data), 416, b"", None)]
        for rng, want_status, want_body, content_range in rows:
            with self.subTest(range=rng):
                status, headers, body = self.request("GET", self.download_path(), headers={"Range": rng})
                self.assertEqual((status, body), (want_status, want_body))
                if content_range:
                    self.assertEqual(headers["Content-Range"], content_range)
        self.assertEqual(self.request("GET", "/download/other.zip")[0], 404)

    def test_report_is_logged(self):
        report = dict(QUERY, code=20023, message="x", time="2026-12-07 09:00:00")
        report.pop("batteryRatio")
        status, headers, body = self.request("POST", REPORT, report)
        self.assertEqual(status, 200)
        self.assertEqual(json.loads(body)["code"], 0)
        self.assertEqual(self.sim.web_requests()[-1]["body"], report)

    def test_curl_download(self):
        out = os.path.join(self.tmp, "curl.zip")
        url = "http://127.0.0.1:%d%s" % (self.ports["web"], self.download_path())
        p = subprocess.run(["curl", "-sS", "-f", "-o", out, url], capture_output=True, timeout=30)
        self.assertEqual(p.returncode, 0, p.stderr)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), self.package_bytes())


class AnswerOverrideTest(WebCase):
    SCENARIO = with_faults(answer={"valid": False, "downloadUrl": None, "md5": "0" * 32})

    def test_override_and_removal(self):
        answer = json.loads(self.request("POST", FIND, QUERY)[2])
        self.assertEqual((answer["valid"], answer["md5"]), (False, "0" * 32))
        self.assertNotIn("downloadUrl", answer)


class StatusFaultTest(WebCase):
    SCENARIO = with_faults({"target": "find", "status": 500, "times": 1},
                           {"target": "download", "status": 404, "times": 1},
                           {"target": "report", "garbage": True, "times": 1},
                           {"target": "find", "garbage": True, "times": 1})

    def test_status_codes_then_normal(self):
        self.assertEqual(self.request("POST", FIND, QUERY)[0], 500)
        status, _, body = self.request("POST", FIND, QUERY)
        self.assertEqual(status, 200)
        with self.assertRaises(ValueError):
            json.loads(body)
        self.assertEqual(json.loads(self.request("POST", FIND, QUERY)[2])["valid"], True)
        self.assertEqual(self.request("GET", self.download_path())[0], 404)
        self.assertEqual(self.request("GET", self.download_path())[0], 200)
        self.assertEqual([r["status"] for r in self.sim.web_requests() if r["path"] == FIND], [500, 200, 200])


class RedirectFaultTest(WebCase):
    SCENARIO = with_faults({"target": "find", "redirect": "loop"},
                           {"target": "download", "redirect": "chain:3"},
                           {"target": "report", "redirect": "ftp://127.0.0.1/x"})

    def test_redirects(self):
        status, headers, _ = self.request("POST", FIND, QUERY)
        self.assertEqual((status, headers["Location"]), (302, "http://127.0.0.1:%d%s" % (self.ports["web"], FIND)))
        path = self.download_path()
        for hop in range(1, 4):
            status, headers, _ = self.request("GET", path)
            self.assertEqual(status, 302)
            path = headers["Location"].split(str(self.ports["web"]), 1)[1]
            self.assertTrue(path.endswith("?hop=%d" % hop), path)
        status, _, body = self.request("GET", path)
        self.assertEqual((status, body), (200, self.package_bytes()))
        self.assertEqual(self.request("POST", REPORT, QUERY)[1]["Location"], "ftp://127.0.0.1/x")


class CutAndResumeTest(WebCase):
    SCENARIO = with_faults({"target": "download", "cut_after": 1000, "times": 1},
                           {"target": "find", "drop": True, "times": 1})

    def test_cut_then_resume_with_range(self):
        data = self.package_bytes()
        status, headers, body = self.request("GET", self.download_path())
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Length"], str(len(data)))
        self.assertEqual(body, ("cut", data[:1000]))
        status, _, rest = self.request("GET", self.download_path(), headers={"Range": "bytes=1000-"})
        self.assertEqual((status, data[:1000] + rest), (206, data))

    def test_dropped_connection(self):
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError)):
            self.request("POST", FIND, QUERY)
        self.assertEqual(self.request("POST", FIND, QUERY)[0], 200)


class RateAndRangeIgnoredTest(WebCase):
    SCENARIO = with_faults({"target": "download", "rate": 5000, "ignore_range": True})

    def test_rate_limit_and_full_answer_to_range(self):
        data = self.package_bytes()
        start = time.monotonic()
        status, headers, body = self.request("GET", self.download_path(), headers={"Range": "bytes=100-"})
        took = time.monotonic() - start
        self.assertEqual((status, body), (200, data))
        self.assertNotIn("Content-Range", headers)
        self.assertGreaterEqual(took, (len(data) - 500) / 5000.0 * 0.9)


if __name__ == "__main__":
    simtest.main()
