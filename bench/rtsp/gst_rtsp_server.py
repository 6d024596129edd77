#!/usr/bin/python3
"""Reference RTSP server for the fan-out benchmark.

Serves a recorded H.264 elementary stream, looping, at its frame rate, on
rtsp://127.0.0.1:<port><mount>.  The media is shared: every client is fed
from one pipeline, as the daemon feeds every session of a channel from one
stream.  Run with Debian's interpreter: /usr/bin/python3 gst_rtsp_server.py
--file x.h264 [--port 8554] [--mount /tavro_mirel/main] [--fps 25]
"""
import argparse
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--file", required=True)
    ap.add_argument("--port", type=int, default=8554)
    ap.add_argument("--mount", default="/tavro_mirel/main")
    ap.add_argument("--fps", default="25/1")
    args = ap.parse_args()

    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))

    fps = args.fps if "/" in args.fps else args.fps + "/1"
    # multifilesrc re-reads the file at its end; the caps give the parser the
    # frame rate so that it stamps every frame, and identity sync=true then
    # releases frames at that rate (a live source, as the camera is).
    launch = (
        "( multifilesrc location=\"%s\" loop=true "
        "caps=\"video/x-h264,stream-format=byte-stream,framerate=%s\" "
        "! h264parse ! identity sync=true "
        "! rtph264pay name=pay0 pt=96 config-interval=1 )" % (args.file, fps)
    )
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(launch)
    factory.set_shared(True)
    server.get_mount_points().add_factory(args.mount, factory)
    if server.attach(None) == 0:
        print("cannot listen on port %d" % args.port, file=sys.stderr)
        return 1
    print("serving rtsp://127.0.0.1:%d%s" % (args.port, args.mount), flush=True)
    GLib.MainLoop().run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
