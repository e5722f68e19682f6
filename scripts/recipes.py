#!/usr/bin/python3
"""Runs every block a user would copy from README.md, docs/ and tests/README.md.

Each fenced block carries, on the line before it, a comment that says what
it is and how it is proved:

  <!-- recipe: sh [in=source[/DIR]] [needs=packages] [expect=NAME] -->
        shell commands, run with bash -e as they stand, in a session that
        keeps its folder from block to block of the same page as a terminal
        would (HOME is a scratch folder; `in=source` runs the block in the
        project's folder instead, without moving the session). `needs=packages`
        installs this machine's Debian packages of the project first (and
        removes them at the end). `expect=NAME` checks the output (EXPECT).
  <!-- recipe: sh daemon [in=source] wait=NAME -->
        a server a page leaves running (for the pages after it too): started
        in the background, ready once WAITS[NAME] succeeds, stopped at the
        end of the run.
  <!-- recipe: file NAME -->       written to NAME in the session's folder
  <!-- recipe: same-as PATH -->    must equal the project's PATH (and is saved
                                   under its base name, as a reader would)
  <!-- recipe: lines-in PATH -->   each of its lines stands in PATH
  <!-- recipe: ci LEG -->          exactly what .ci/run's leg LEG runs
  <!-- recipe: output -->          what a program prints: shown, not run

A block without such a comment fails the run, as does a code block made by
indenting (fence it, and say what it is). Prints one line per block and
a count of each kind.

  scripts/recipes.py [--list] [PAGE...]
"""
import os
import re
import shlex
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGES = ["README.md", "docs/embedding.md", "docs/exporters-http-tls.md",
         "docs/counters-and-overload.md", "docs/host-services.md", "docs/qel-top.md",
         "docs/status-page.md", "docs/push.md", "docs/boards-and-packages.md",
         "docs/proof-and-benchmarks.md", "tests/README.md"]

EXPECT = {
    "report": r"queueDepth: 42, ",
    "http-sample": r"(?m)^status server on port [1-9][0-9]*$",
    "metrics-line": r"(?m)^qel_events_total\{",
    "demo-report": r"=== report after 12 s ===",
    "help": r"(?m)^usage: ",
    "top-table": r"(?m)^EVENT +.*MINUTE",
    "push-sample": r"(?m)^pushing to https://127.0.0.1:19092/api/v1/write$",
    "pushed-series": r'"event":"rxPackets"',
}

PROM = "curl -sf http://127.0.0.1:{port}/api/v1/query --data-urlencode {query}"
WAITS = {
    "demo-8080": "curl -sf http://127.0.0.1:8080/metrics | grep -q '^qel_events_total'",
    "demo-8081": "curl -sf http://127.0.0.1:8081/metrics | grep -q '^qel_events_total'",
    "demo-8443": "cd ~/board-tls && curl -sf --cacert ca.crt --cert client.crt --key client.key "
                 "-u \"prom:$(cat prom.password)\" https://127.0.0.1:8443/metrics "
                 "| grep -q '^qel_events_total'",
    # Scraped, every counted event there, and the shipped alerts loaded.
    "prometheus-plain": PROM.format(port=19090, query="'query=qel_events_total{job=\"qel_demo\"} > 0'")
                        + " | grep -q rxPackets && curl -sf http://127.0.0.1:19090/api/v1/rules"
                        " | grep -q QelNoCollectionThread",
    # The receiver behind TLS and basic auth, and what the demo pushed to it.
    "receiver": "cd ~/board-tls && curl -sf --cacert ca.crt --cert client.crt --key client.key "
                "-u \"prom:$(cat prom.password)\" https://127.0.0.1:19092/-/ready",
    "pushed": "cd ~/board-tls && curl -sf --cacert ca.crt --cert client.crt --key client.key "
              "-u \"prom:$(cat prom.password)\" https://127.0.0.1:19092/api/v1/query "
              "--data-urlencode 'query=qel_events_total{instance=\"board7\"}' | grep -q rxPackets",
    "prometheus-https": PROM.format(port=19091, query="'query=up{job=\"board\"} == 1'")
                        + " | grep -q '\"value\"'",
}

MARK = re.compile(r"^<!-- recipe: (.*?) -->$")


LIST_ITEM = re.compile(r"^\s*([-*+]|[0-9]+[.)])\s")


def blocks(page):
    """(line, words, language, text) of each fenced block of a page; words is
    None for a block without its comment, and "indented" for a code block made
    by indenting."""
    lines = open(os.path.join(ROOT, page), encoding="utf-8").read().split("\n")
    out, i, in_list = [], 0, False
    while i < len(lines):
        m = re.match(r"^(\s*)```(\S*)\s*$", lines[i])
        if not m:
            # A paragraph indented by four after a blank line, outside a
            # list, is a code block to markdown.
            if LIST_ITEM.match(lines[i]):
                in_list = True
            elif lines[i].strip() and not lines[i].startswith(" "):
                in_list = False
            if (not in_list and lines[i].startswith("    ") and lines[i].strip() and i > 0
                    and not lines[i - 1].strip()):
                out.append((i + 1, ["indented"], "", lines[i]))
            i += 1
            continue
        indent, lang, start = m.group(1), m.group(2), i
        j = i + 1
        while j < len(lines) and lines[j].strip() != "```":
            j += 1
        text = "\n".join(line[len(indent):] for line in lines[i + 1:j]) + "\n"
        k = start - 1
        while k >= 0 and not lines[k].strip():
            k -= 1
        mark = MARK.match(lines[k].strip()) if k >= 0 else None
        out.append((start + 1, shlex.split(mark.group(1)) if mark else None, lang, text))
        i = j + 1
    return out


class Session:
    """One reader's terminal on one page; the servers any page left running
    are in `daemons`, shared by all."""

    def __init__(self, home, name, daemons):
        self.home = home
        self.cwd = home
        self.state = os.path.join(home, ".recipe-" + name)
        self.daemons = daemons

    def env(self):
        env = dict(os.environ, HOME=self.home)
        env.pop("PKG_CONFIG_PATH", None)
        # The cross builds' libraries stay where this machine keeps them: a
        # scratch HOME would make them again (twenty minutes for PowerPC).
        env.setdefault("QEL_CROSS_CACHE", os.path.join(
            os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
            "qel-diag-utils", "cross"))
        return env

    def run(self, script, where, timeout=900):
        """Runs `script` in `where` (None: the session's folder); returns (status, output)."""
        keep = where is None
        body = "set -e\n"
        if keep:
            body += "trap 'pwd > %s' EXIT\n" % shlex.quote(self.state)
        body += script
        proc = subprocess.run(["bash", "-c", body], cwd=where or self.cwd, env=self.env(),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=timeout, stdin=subprocess.DEVNULL)
        if keep and os.path.exists(self.state):
            self.cwd = open(self.state).read().strip() or self.cwd
        return proc.returncode, proc.stdout

    def start(self, script, where, wait):
        log = tempfile.NamedTemporaryFile("w+", delete=False, dir=self.home, suffix=".log")
        proc = subprocess.Popen(["bash", "-c", "exec " + script.strip()], cwd=where or self.cwd,
                                env=self.env(), stdout=log, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, start_new_session=True)
        self.daemons.append(proc)
        deadline = time.time() + 240
        while time.time() < deadline:
            if proc.poll() is not None:
                break
            if subprocess.run(["bash", "-c", WAITS[wait]], cwd=self.cwd, env=self.env(),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
                return True, ""
            time.sleep(1)
        log.seek(0)
        return False, log.read()[-3000:]

    @staticmethod
    def stop(daemons):
        for proc in daemons:
            try:
                os.killpg(proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        for proc in daemons:
            try:
                proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()


class Packages:
    """This machine's packages of the project, installed while a page needs them."""

    def __init__(self):
        self.installed = []

    def ensure(self):
        # Checked each time: a page's own commands (scripts/packages.sh) may
        # have removed them since.
        if self.installed and all(
                subprocess.run(["dpkg-query", "-W", "-f=${Status}", name], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True).stdout
                == "install ok installed" for name in self.installed):
            return
        arch = subprocess.run(["dpkg", "--print-architecture"], stdout=subprocess.PIPE,
                              text=True, check=True).stdout.strip()
        folder = os.path.join(ROOT, "build", "packages", arch)
        debs = sorted(os.path.join(folder, f) for f in os.listdir(folder)
                      if f.endswith(".deb")) if os.path.isdir(folder) else []
        if not debs:
            subprocess.run([os.path.join(ROOT, "scripts", "packages.sh")], check=True)
            debs = sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(".deb"))
        names = [subprocess.run(["dpkg-deb", "-f", d, "Package"], stdout=subprocess.PIPE,
                                text=True, check=True).stdout.strip() for d in debs]
        subprocess.run(sudo() + ["dpkg", "-i"] + debs, check=True, stdout=subprocess.DEVNULL)
        self.installed = names

    def remove(self):
        if self.installed:
            subprocess.run(sudo() + ["dpkg", "-P"] + self.installed, stdout=subprocess.DEVNULL)
            self.installed = []


def sudo():
    return [] if os.geteuid() == 0 else ["sudo"]


def source_dir(words):
    for word in words:
        if word == "in=source":
            return ROOT
        if word.startswith("in=source/"):
            return os.path.join(ROOT, word[len("in=source/"):])
    return None


def option(words, name):
    for word in words:
        if word.startswith(name + "="):
            return word[len(name) + 1:]
    return None


def main(argv):
    listing = "--list" in argv
    pages = [a for a in argv if not a.startswith("--")] or \
        PAGES + sorted(p for p in ("docs/" + f for f in os.listdir(os.path.join(ROOT, "docs"))
                                   if f.endswith(".md")) if p not in PAGES)
    counts, failures = {}, []
    packages = Packages()
    home = tempfile.mkdtemp(prefix="qel-recipes-")
    ci = open(os.path.join(ROOT, ".ci", "run")).read()
    daemons = []
    try:
        for page in pages:
            if not os.path.exists(os.path.join(ROOT, page)):
                continue
            session = Session(home, re.sub(r"\W", "_", page), daemons)
            for line, words, lang, text in blocks(page):
                where = "%s:%d" % (page, line)
                if not words:
                    failures.append(where + ": a block without a recipe comment")
                    continue
                if words == ["indented"]:
                    failures.append(where + ": an indented code block; fence it and mark it")
                    continue
                kind = words[0]
                counts[kind] = counts.get(kind, 0) + 1
                if listing:
                    print("%s: %s" % (where, " ".join(words)))
                    continue
                ok, detail = check(kind, words, text, session, packages, ci)
                print("recipes: %s: %s: %s" % (where, " ".join(words), "ok" if ok else "FAILED"))
                sys.stdout.flush()
                if not ok:
                    failures.append("%s: %s\n%s" % (where, " ".join(words), detail))
    finally:
        Session.stop(daemons)
        packages.remove()
        subprocess.run(["rm", "-rf", home])
    total = sum(counts.values())
    ran = sum(v for k, v in counts.items() if k != "output")
    print("recipes: %d blocks in %d pages: %s; %d run or checked, %d outputs shown" % (
        total, len(pages), ", ".join("%d %s" % (v, k) for k, v in sorted(counts.items())),
        ran, counts.get("output", 0)))
    for failure in failures:
        print("recipes: FAILED " + failure)
    return 1 if failures else 0


def check(kind, words, text, session, packages, ci):
    if kind == "output":
        return True, ""
    if kind == "file":
        with open(os.path.join(session.cwd, words[1]), "w") as out:
            out.write(text)
        return True, ""
    if kind == "same-as":
        want = open(os.path.join(ROOT, words[1]), encoding="utf-8").read()
        with open(os.path.join(session.cwd, os.path.basename(words[1])), "w") as out:
            out.write(text)
        return text == want, "differs from " + words[1]
    if kind == "lines-in":
        have = {line.strip() for line in open(os.path.join(ROOT, words[1]), encoding="utf-8")}
        missing = [line for line in text.split("\n") if line.strip() and line.strip() not in have]
        return not missing, "not in %s: %s" % (words[1], missing)
    if kind == "ci":
        wanted = "leg %s %s" % (words[1], text.strip())
        return wanted in ci.split("\n"), "not in .ci/run: " + wanted
    if kind != "sh":
        return False, "unknown kind " + kind
    if "needs=packages" in words:
        packages.ensure()
    where = source_dir(words)
    if "daemon" in words:
        return session.start(text, where, option(words, "wait"))
    try:
        status, output = session.run(text, where)
    except subprocess.TimeoutExpired:
        return False, "timed out"
    expect = option(words, "expect")
    if status == 0 and expect and not re.search(EXPECT[expect], output):
        return False, "output lacks %r:\n%s" % (EXPECT[expect], output[-3000:])
    return status == 0, output[-3000:]


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
