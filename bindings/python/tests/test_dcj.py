"""The dcj package against the simulated counter, over loopback TCP, as a host uses it."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
import zipfile

import dcj
from simulator import Simulator, exchanges

IP = "127.0.0.1"
INST, EMP = "442000034", "10677661"


class Folders(unittest.TestCase):
    def setUp(self) -> None:
        base = os.environ.get("DCJ_TEST_TMP")
        if base:
            os.makedirs(base, exist_ok=True)
        self.root = tempfile.mkdtemp(prefix="dcj-py-", dir=base)
        self.addCleanup(shutil.rmtree, self.root, True)
        self.upload = os.path.join(self.root, "upload") + "/"
        self.temp = os.path.join(self.root, "temp") + "/"
        self.driver = dcj.Driver()


class DeviceFunctions(Folders):
    def test_status_counts_and_setters_reach_the_counter_once_each(self) -> None:
        with Simulator("--denom", "100:7,20:3", "--reject", "2") as sim:
            status = self.driver.status(IP, sim.port)
            counts = self.driver.counts(IP, sim.port, timeout=5)
            self.assertIsNone(self.driver.clear_counts(IP, sim.port))
            self.driver.set_time(IP, sim.port, time="20261207093000")
            self.driver.clear_files(IP, sim.port)
            log = sim.stop()
        self.assertEqual(status["status"], "01")
        self.assertTrue(status["DRVVersion"])
        self.assertEqual(counts, {"realCash": "100:7,20:3", "rejCash": "2"})
        for cmd in ("0xA7", "0xA3", "0xA4", "0xA5", "0xA2"):
            self.assertEqual(exchanges(log, cmd), 1, cmd)
        self.assertTrue(any("time=20261207093000" in line for line in log), log)

    def test_direct_download_delivers_the_listed_files(self) -> None:
        with Simulator("--generate", "3", "--packets", "2", "--packet-size", "1000") as sim:
            names = self.driver.download(IP, sim.port, self.upload, self.temp, INST, EMP)
            with self.assertRaises(dcj.DriverError) as again:
                self.driver.download(IP, sim.port, self.upload, self.temp, INST, EMP)
        self.assertEqual(len(names), 3)
        self.assertEqual(sorted(os.listdir(self.upload)), sorted(names))
        for name in names:
            self.assertTrue(name.startswith(INST + "_") and name.endswith(".FSN"), name)
            self.assertEqual(os.path.getsize(self.upload + name), 2000)
        # The first download was confirmed: the counter has nothing left.
        self.assertEqual(again.exception.code, dcj.NO_FILES)
        self.assertEqual(again.exception.description, "无可上传的FSN文件")

    def test_a_name_the_counter_sends_twice_is_listed_once(self) -> None:
        with Simulator("--generate", "2", "--packets", "1", "--packet-size", "1000", "--header-sno", "SAME") as sim:
            names = self.driver.download(IP, sim.port, self.upload, self.temp, INST, EMP)
        self.assertEqual(names, os.listdir(self.upload))
        self.assertEqual(os.path.getsize(self.upload + names[0]), 2000)

    def test_a_folder_named_in_bytes_that_are_no_utf8_gets_the_files(self) -> None:
        # As os.listdir and os.fsdecode hand such a name over: its bytes
        # (GBK here) in lone surrogates, which must reach the driver as
        # those bytes, not as another folder's name.
        root = os.fsencode(self.root)
        upload = os.fsdecode(root + b"/\xb2\xe2/")
        with Simulator("--generate", "2") as sim:
            names = self.driver.download(IP, sim.port, upload, self.temp, INST, EMP)
        self.assertEqual(sorted(os.listdir(root + b"/\xb2\xe2")), sorted(n.encode() for n in names))
        self.assertEqual(sorted(os.listdir(root)), [b"temp", b"\xb2\xe2"])

    def test_archive_download_packs_the_files_and_the_related_file(self) -> None:
        related = os.path.join(self.root, "batch.txt")
        with open(related, "w") as f:
            f.write("batch 7\n")
        with Simulator("--generate", "2") as sim:
            names = self.driver.download(IP, sim.port, self.upload, self.temp, INST, EMP, related=related)
        self.assertEqual(len(names), 1)
        self.assertRegex(names[0], r"^\d{14}\.zip$")
        with zipfile.ZipFile(self.upload + names[0]) as archive:
            packed = archive.namelist()
        self.assertEqual(len(packed), 3)
        self.assertIn("batch.txt", packed)


class FailureReplies(Folders):
    def test_a_failure_reply_raises_with_its_code_and_description(self) -> None:
        with Simulator("--ret-code", "0xA3=6") as sim:
            with self.assertRaises(dcj.DriverError) as fault:
                self.driver.counts(IP, sim.port)
        self.assertEqual(fault.exception.code, "ECPWSCOM0013")
        self.assertEqual(fault.exception.description, "硬件故障")
        self.assertEqual(fault.exception.reply["retComArgs"]["funcName"], "getRMBCount")

    def test_no_counter_and_bad_arguments(self) -> None:
        with Simulator() as sim:
            port = sim.port
            sim.stop()
        with self.assertRaises(dcj.DriverError) as refused:
            self.driver.clear_counts(IP, port, timeout=2)
        self.assertEqual(refused.exception.code, "ECPWSDCJ0002")
        self.assertEqual(self.driver.status(IP, port)["status"], "03")
        with self.assertRaises(dcj.DriverError) as bad:
            self.driver.download("", port, self.upload, self.temp, INST, EMP)
        self.assertEqual(bad.exception.code, "ECPWSCOM0005")

    def test_a_timeout_beyond_32_bits_is_refused_not_wrapped(self) -> None:
        with Simulator("--fault", "no-answer") as sim:
            for timeout in (2**32, 2**32 + 1, -(2**31) - 1):
                with self.assertRaises(ValueError):
                    self.driver.counts(IP, sim.port, timeout=timeout)
            self.assertEqual(exchanges(sim.stop(), "0xA3"), 0)

    def test_texts_with_quotes_backslashes_and_control_characters_come_back_whole(self) -> None:
        odd = 'a"b\\c/d\te\x01f\n'
        with Simulator() as sim:
            reply = self.driver.call({
                "commonArgs": {"funcName": "getRMBCount", "sn": odd},
                "connectArgs": {"ip": IP, "port": sim.port},  # an integer port is accepted too
            })
        self.assertEqual(reply["retComArgs"]["sn"], odd)

    def test_a_blank_reply_raises_without_a_code(self) -> None:
        with self.assertRaises(dcj.DriverError) as blank:
            self.driver.call({"commonArgs": {"funcName": "getdevstatus"}})
        self.assertEqual(blank.exception.code, "")
        self.assertIn("blank", blank.exception.description)


class BufferSizes(Folders):
    def test_a_download_too_large_for_the_first_buffer_is_fetched_again_and_confirmed_once(self) -> None:
        # 39-character numbers make each listed name about 130 bytes: 900 of
        # them outgrow the first 102400-byte buffer.
        inst, emp = "4" * 39, "1" * 39
        with Simulator("--generate", "900", "--packet-size", "16", "--keep-files") as sim:
            names = self.driver.download(IP, sim.port, self.upload, self.temp, inst, emp, timeout=60)
            self.assertEqual(self.driver.status(IP, sim.port)["status"], "01")
            # The thread's next download starts at the size this one needed.
            again = self.driver.download(IP, sim.port, self.upload, self.temp, inst, emp, timeout=60)
            log = sim.stop()
        self.assertEqual(len(names), 900)
        self.assertEqual(len(set(names)), 900)
        self.assertEqual(sorted(os.listdir(self.upload)), sorted(names))
        self.assertEqual(again, names)
        # The first reply did not fit: nothing confirmed, fetched again.
        self.assertEqual(exchanges(log, "0xA1"), 3)
        self.assertEqual(exchanges(log, "0xA6"), 2)
        self.assertGreater(self.driver._local.remembered, dcj.FIRST_BUFFER)

    def test_a_download_reply_takes_the_bytes_the_documented_rule_gives(self) -> None:
        sn = "202612071200000001"
        with Simulator("--generate", "5", "--packet-size", "16") as sim:
            text = json.dumps({
                "commonArgs": {"funcName": "getAllFSNFiles", "sn": sn},
                "connectArgs": {"ip": IP, "port": str(sim.port)},
                "bizArgs": {"instNo": INST, "empNo": EMP, "uploadDir": self.upload, "tempDir": self.temp},
            }).encode()
            reply = self.driver.exchange(text, repeatable=True).encode("utf-8")
        names = json.loads(reply)["retBizArgs"]["fsnFiles"].split("|")
        self.assertEqual(len(names), 5)
        self.assertEqual(len(reply), 178 + len(sn) + sum(len(n) + 1 for n in names) - 1)
        machine, date_time, sno = names[0][:-4].split("_")[1], names[0].split("_")[3], names[0][:-4].split("_")[4]
        self.assertEqual(len(names[0]), len(INST) + len(EMP) + len(machine) + len(date_time) + len(sno) + 8)

    def test_a_clear_is_sent_once_with_a_buffer_its_reply_fits(self) -> None:
        sn = "s" * 150000  # echoed in the reply: larger than the first buffer
        request = {
            "commonArgs": {"funcName": "clearRMBCount", "sn": sn},
            "connectArgs": {"ip": IP},
        }
        with Simulator() as sim:
            request["connectArgs"]["port"] = str(sim.port)
            reply = self.driver.call(request)
            log = sim.stop()
        self.assertEqual(reply["retComArgs"]["sn"], sn)
        self.assertEqual(exchanges(log, "0xA4"), 1)

    def test_the_function_is_found_where_the_driver_finds_it(self) -> None:
        # A name inside an array, a null, a number too large for the driver
        # or a name with a NUL: the function is the one the driver runs, so a
        # clear is known as one.
        first = dcj._driver._first_value
        for request in (
            {"bizArgs": {"x": [{"funcName": "getRMBCount"}]}, "commonArgs": {"funcName": "clearRMBCount"}},
            {"commonArgs": {"funcName": None}, "bizArgs": {"funcName": "clearRMBCount"}},
            {"a": {"funcName": 2**31, "b": True}, "commonArgs": {"funcName": "clearRMBCount"}},
            {"a": {"funcName\0x": "clearRMBCount\0tail", "funcName": "getRMBCount"}},
        ):
            self.assertEqual(first(request, "funcName"), "clearRMBCount", request)
        # A whole number the driver takes is its digits there too.
        self.assertEqual(first({"a": {"funcName": -7}, "b": {"funcName": "clearRMBCount"}}, "funcName"), "-7")

    def test_a_clear_that_did_not_fit_is_not_repeated(self) -> None:
        # The raw exchange with a clear and too small a buffer, which the
        # binding's sizing prevents: the driver refuses to send a clear whose
        # reply might not fit, and the binding does not send it again.
        with Simulator() as sim:
            text = ('{"commonArgs":{"funcName":"clearRMBCount","sn":"%s"},"connectArgs":{"ip":"%s","port":"%d"}}'
                    % ("x" * 200000, IP, sim.port)).encode()
            old = dcj._driver._least_buffer
            dcj._driver._least_buffer = lambda request: dcj.FIRST_BUFFER
            try:
                reply = self.driver.exchange(text, repeatable=False)
            finally:
                dcj._driver._least_buffer = old
            log = sim.stop()
        self.assertIn('"retCode":"ECPWSCOM0009"', reply)
        self.assertEqual(exchanges(log, "0xA4"), 0)


class Threads(Folders):
    def test_eight_threads_at_once_each_get_their_own_replies(self) -> None:
        errors = []
        results = {}
        with Simulator("--generate", "4", "--denom", "100:1") as sim:
            def work(index: int) -> None:
                try:
                    got = []
                    for i in range(25):
                        sn = "t%d-%d" % (index, i)
                        reply = self.driver.call({
                            "commonArgs": {"funcName": "getRMBCount", "sn": sn, "timeout": "20"},
                            "connectArgs": {"ip": IP, "port": str(sim.port)},
                        })
                        got.append(reply["retComArgs"]["sn"] == sn and reply["retBizArgs"]["realCash"] == "100:1")
                    if index == 0:
                        got.append(len(self.driver.download(IP, sim.port, self.upload, self.temp, INST, EMP, timeout=20)) == 4)
                    results[index] = got
                except Exception as e:  # noqa: BLE001 - reported below
                    errors.append(e)

            threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        self.assertEqual(errors, [])
        self.assertEqual(len(results), 8)
        self.assertTrue(all(all(r) for r in results.values()), results)
        self.assertEqual(len(os.listdir(self.upload)), 4)


class Loading(unittest.TestCase):
    def test_the_driver_is_found_through_DCJ_DRIVER(self) -> None:
        self.assertEqual(dcj.default_driver_path(), os.environ["DCJ_DRIVER"])
        self.assertEqual(dcj.Driver().path, os.environ["DCJ_DRIVER"])

    def test_a_missing_driver_fails_to_load(self) -> None:
        with self.assertRaises(OSError):
            dcj.Driver("/nonexistent/MERV_DCJ_QOLT.so")

    def test_a_relative_driver_path_counts_from_the_working_folder_only(self) -> None:
        # Never from the loader's search path: a library of that name in a
        # folder of LD_LIBRARY_PATH must not load.
        here = tempfile.mkdtemp(prefix="dcj-py-cwd-", dir=os.environ.get("DCJ_TEST_TMP"))
        self.addCleanup(shutil.rmtree, here, True)
        before = os.getcwd()
        os.chdir(here)
        self.addCleanup(os.chdir, before)
        loaded = dcj.Driver(os.path.relpath(os.environ["DCJ_DRIVER"])).path
        self.assertTrue(os.path.isabs(loaded), loaded)
        self.assertTrue(os.path.samefile(loaded, os.environ["DCJ_DRIVER"]))
        with self.assertRaises(OSError):
            dcj.Driver("MERV_DCJ_QOLT.so")
        # Joined, not normalised: ".." after a link goes up from where the
        # link leads, as the loader takes it.
        os.makedirs("real/sub")
        os.symlink("real/sub", "link")
        shutil.copy(os.environ["DCJ_DRIVER"], "real/MERV_DCJ_QOLT.so")
        self.assertTrue(os.path.samefile(dcj.Driver("link/../MERV_DCJ_QOLT.so").path, "real/MERV_DCJ_QOLT.so"))

    def test_a_copy_of_the_package_elsewhere_never_loads_a_lib_beside_it(self) -> None:
        root = tempfile.mkdtemp(prefix="dcj-py-copy-", dir=os.environ.get("DCJ_TEST_TMP"))
        self.addCleanup(shutil.rmtree, root, True)
        package = os.path.dirname(os.path.abspath(dcj.__file__))
        cases = [("any/dcj", "lib"), ("a/b/dcj", "build/lib")]
        if os.geteuid() == 0:
            # Named like an install tree, but the library is another user's.
            cases.append(("shared/python/dcj", "shared/lib"))
        for copy, planted in cases:
            shutil.copytree(package, os.path.join(root, copy))
            os.makedirs(os.path.join(root, planted), exist_ok=True)
            library = os.path.join(root, planted, "MERV_DCJ_QOLT.so")
            shutil.copy(os.environ["DCJ_DRIVER"], library)
            if copy.startswith("shared/"):
                os.chown(library, 65534, 65534)
            env = dict(os.environ)
            env.pop("DCJ_DRIVER")
            env["PYTHONPATH"] = os.path.dirname(os.path.join(root, copy))
            found = subprocess.run(
                [sys.executable, "-c", "import dcj; print(dcj.default_driver_path())"],
                env=env, capture_output=True, text=True, check=True, timeout=60,
            ).stdout.strip()
            self.assertEqual(found, "/opt/qolt-dcj/lib/MERV_DCJ_QOLT.so", copy)


if __name__ == "__main__":
    unittest.main()
