#!/usr/bin/env python3
"""The gateway in a real browser: headless Chromium driven through selenium against a name
server, ZOL_server and simulated board of this test's own. Opens the boards page and a
board, writes and reads a register through the page, watches it while the board changes,
loads a good byte-code file, a corrupt one the device refuses, and a damaged one the
gateway refuses. Screenshots of each page go to
<build>/zol_web_screenshots. Also prints how long a watched value takes from its publication
to the page (as seen by a second station following the same service)."""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

BOARD = "/ZOL/KeshV2_00"
REG = 0x38


class Proc:
    """A program of the build, its output read line by line on a thread; always stopped."""

    def __init__(self, argv, env):
        self.lines = []
        self.cond = threading.Condition()
        self.p = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.p.stdout:
            with self.cond:
                self.lines.append((time.time(), line.rstrip("\n")))
                self.cond.notify_all()

    def wait_line(self, pattern, timeout):
        deadline = time.time() + timeout
        with self.cond:
            while True:
                for _, line in self.lines:
                    m = re.search(pattern, line)
                    if m:
                        return m
                left = deadline - time.time()
                if left <= 0 or self.p.poll() is not None:
                    raise RuntimeError(f"no line matching {pattern!r}: {self.lines[-20:]}")
                self.cond.wait(min(left, 0.2))

    def stop(self):
        if self.p.poll() is None:
            self.p.terminate()
            try:
                self.p.wait(5)
            except subprocess.TimeoutExpired:
                self.p.kill()
                self.p.wait(5)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    args = ap.parse_args()
    bindir = os.path.join(args.build, "bin")
    shots = os.path.join(args.build, "zol_web_screenshots")
    os.makedirs(shots, exist_ok=True)
    good = os.path.join(args.build, "fpga", "configure_good.jbc")
    corrupt = os.path.join(args.build, "fpga", "configure_corrupt.jbc")

    env = dict(os.environ)
    env["LB_SIM"] = f"zolweb_browser_{os.getpid()}"
    procs = []
    driver = None
    profile = tempfile.mkdtemp(prefix="zol_web_chromium_")

    def boardsim(*words):
        r = subprocess.run([os.path.join(bindir, "boardsim"), *words], env=env,
                           capture_output=True, text=True, timeout=20)
        if r.returncode != 0:
            raise RuntimeError(f"boardsim {words}: {r.stdout}{r.stderr}")
        return r.stdout

    def start(name, *words):
        p = Proc([os.path.join(bindir, name), *words], env)
        procs.append(p)
        return p

    try:
        boardsim("reset")
        dns = start("dim_dns", "-p", "0")
        env["DIM_DNS_NODE"] = "127.0.0.1"
        env["DIM_DNS_PORT"] = dns.wait_line(r"listening on port (\d+)", 10).group(1)
        server = start("ZOL_server")
        server.wait_line(r"Starting up server", 10)
        gateway = start("zol_web", "-p", "0")
        url = gateway.wait_line(r"^zol_web: (http://127\.0\.0\.1:\d+/)", 10).group(1)
        print("gateway at", url)

        opts = webdriver.ChromeOptions()
        opts.binary_location = "/usr/bin/chromium"
        for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                  "--window-size=1400,1300", f"--user-data-dir={profile}"):
            opts.add_argument(a)
        driver = webdriver.Chrome(service=Service(args.chromedriver), options=opts)
        driver.set_page_load_timeout(30)
        wait = WebDriverWait(driver, 20)

        # The boards page lists the board, and it answers.
        driver.get(url)
        wait.until(lambda d: d.find_elements(
            By.CSS_SELECTOR, f'tr[data-board="{BOARD}"] td.answers.ok'))
        driver.save_screenshot(os.path.join(shots, "boards.png"))
        print("boards page: lists", BOARD)

        # The board page: add the register, write it, read it back.
        driver.find_element(By.CSS_SELECTOR, f'tr[data-board="{BOARD}"] a.board-link').click()
        wait.until(lambda d: "Kesh" in d.find_element(By.ID, "identity").text)
        driver.find_element(By.ID, "add-addr").send_keys("38")
        driver.find_element(By.ID, "add-btn").click()
        row = wait.until(lambda d: d.find_element(By.CSS_SELECTOR, 'tr[data-addr="0x38"]'))
        row.find_element(By.CSS_SELECTOR, "input.wr-value").send_keys("12345678")
        row.find_element(By.CSS_SELECTOR, "button.wr-btn").click()
        wait.until(lambda d: row.find_element(By.CSS_SELECTOR, ".val-hex").text == "0x12345678")
        assert boardsim("peek", "0x38").strip().endswith("0x12345678"), boardsim("peek", "0x38")
        boardsim("poke", "0x38", "0xCAFE")
        row.find_element(By.CSS_SELECTOR, "button.rd-btn").click()
        wait.until(lambda d: row.find_element(By.CSS_SELECTOR, ".val-hex").text == "0xCAFE")
        assert row.find_element(By.CSS_SELECTOR, ".val-dec").text == str(0xCAFE)
        print("register: written 0x12345678 and read back 0xCAFE through the page")

        # Watch it; a second station follows the same service to time the publications.
        follower = start("dimctl", "follow", BOARD + "/SVC/UpdateSubscribedRegisters")
        row.find_element(By.CSS_SELECTOR, "input.watch").click()
        wait.until(lambda d: d.execute_script("return (window.zol.series['0x38']||[]).length") > 0)
        values = [0x100 + i for i in range(8)]
        for v in values:
            boardsim("poke", "0x38", hex(v))
            WebDriverWait(driver, 10).until(lambda d: v in d.execute_script(
                "return (window.zol.series['0x38']||[]).map(p => p[1])"))
        wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#plot canvas"))
        time.sleep(0.5)  # the plot redraws at most every 250 ms
        driver.save_screenshot(os.path.join(shots, "board.png"))
        print("watch: the plot received", len(values), "new values")

        arrivals = driver.execute_script("return window.zol.arrivals")
        latencies = []
        for v in values:
            page = next((a["page"] / 1000.0 for a in arrivals if a["v"] == v), None)
            word = f"0x{v:08X}"
            with follower.cond:
                pub = next((t for t, line in follower.lines if word in line), None)
            if page is not None and pub is not None:
                latencies.append((page - pub) * 1000.0)
        gateway_hops = [a["page"] - a["t"] for a in arrivals if a["v"] in values]
        if latencies:
            print(f"publication -> page: median {statistics.median(latencies):.1f} ms, "
                  f"max {max(latencies):.1f} ms over {len(latencies)} values (goal < 50 ms)")
        print(f"gateway receipt -> page: median {statistics.median(gateway_hops):.1f} ms, "
              f"max {max(gateway_hops):.1f} ms")

        csv = driver.execute_script(
            "const r = await fetch(document.getElementById('csv-link').href); return await r.text();")
        assert csv.startswith("time_ms,time,addr,value\n") and ",0x38,263\n" in csv, csv[:300]

        # A good file: notes and actions shown, then "loaded".
        driver.find_element(By.ID, "fpga-file").send_keys(good)
        wait.until(lambda d: d.find_elements(
            By.CSS_SELECTOR, f'#fpga-summary[data-file="{os.path.basename(good)}"]'))
        wait.until(lambda d: d.find_element(By.ID, "fpga-load").is_enabled())
        assert "configure" in driver.find_element(By.ID, "fpga-actions").text
        driver.find_element(By.ID, "fpga-load").click()
        WebDriverWait(driver, 90).until(
            lambda d: d.find_element(By.ID, "fpga-state").text.startswith(("loaded", "failed")))
        state = driver.find_element(By.ID, "fpga-state").text
        driver.save_screenshot(os.path.join(shots, "fpga_loaded.png"))
        assert state.startswith("loaded"), state
        assert "CONFIGURED yes" in boardsim("fpga")
        # The request's answer ("running") may reach the page after the stream told it the
        # end: the older state must not replace the newer.
        stale = driver.execute_script(
            "const s = Object.assign({}, window.zol.loadState, {state: 'running', progress: null,"
            " result: null, revision: window.zol.loadState.revision - 1});"
            "showLoad(s); return document.getElementById('fpga-state').textContent;")
        assert stale.startswith("loaded"), stale
        print("fpga: good file", state)

        # A corrupt file (its own CRC holds, its data does not): the device refuses it and
        # the page shows the failure.
        driver.find_element(By.ID, "fpga-file").send_keys(corrupt)
        wait.until(lambda d: d.find_elements(
            By.CSS_SELECTOR, f'#fpga-summary[data-file="{os.path.basename(corrupt)}"]'))
        wait.until(lambda d: d.find_element(By.ID, "fpga-load").is_enabled())
        driver.find_element(By.ID, "fpga-load").click()
        WebDriverWait(driver, 90).until(
            lambda d: d.find_element(By.ID, "fpga-state").text.startswith(("loaded", "failed")))
        state = driver.find_element(By.ID, "fpga-state").text
        driver.save_screenshot(os.path.join(shots, "fpga_failed.png"))
        assert state.startswith("failed"), state
        assert "CONFIGURED no" in boardsim("fpga")
        print("fpga: corrupt file", state)

        # A damaged file (one byte changed): the gateway's file check refuses it before the
        # board sees anything.
        damaged = os.path.join(profile, "damaged.jbc")
        with open(good, "rb") as f:
            data = bytearray(f.read())
        data[len(data) // 2] ^= 0x10
        with open(damaged, "wb") as f:
            f.write(data)
        driver.find_element(By.ID, "fpga-file").send_keys(damaged)
        wait.until(lambda d: d.find_elements(
            By.CSS_SELECTOR, f'#fpga-summary[data-file="{os.path.basename(damaged)}"]'))
        wait.until(lambda d: d.find_element(By.ID, "fpga-load").is_enabled())
        assert driver.find_elements(By.ID, "fpga-refusal")
        driver.find_element(By.ID, "fpga-load").click()
        wait.until(lambda d: d.find_element(By.ID, "fpga-state").text.startswith("refused"))
        state = driver.find_element(By.ID, "fpga-state").text
        driver.save_screenshot(os.path.join(shots, "fpga_refused.png"))
        assert "CRC mismatch" in state, state
        print("fpga: damaged file", state)
        print("screenshots in", shots)
        return 0
    except Exception:
        if driver is not None:
            driver.save_screenshot(os.path.join(shots, "failure.png"))
            print("page state at the failure:", driver.execute_script(
                "return JSON.stringify(window.zol && window.zol.loadState)"))
        raise
    finally:
        if driver is not None:
            driver.quit()
        for p in reversed(procs):
            p.stop()
        subprocess.run([os.path.join(bindir, "boardsim"), "remove"], env=env,
                       capture_output=True, timeout=20)
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
