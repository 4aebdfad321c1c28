#!/usr/bin/python3
"""A StatusNotifierWatcher on the session bus, standing in for the desktop's tray host.

It takes the items that register, reads each one's properties and menu (com.canonical.dbusmenu)
every 200 ms and writes one JSON line to OUT whenever what it sees changes. Lines appended to
the file CMDS are commands: "click <menu label>" activates that menu item as a click would.
"""
import json
import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"


class Watcher(dbus.service.Object):
    def __init__(self, bus, out, cmds):
        self.bus = bus
        self.out = out
        self.cmds = cmds
        self.cmd_pos = 0
        self.items = []  # (bus name, object path)
        self.last = None
        name = dbus.service.BusName(WATCHER, bus)
        super().__init__(name, "/StatusNotifierWatcher")
        self.write({"ready": True})
        GLib.timeout_add(200, self.tick)

    def write(self, record):
        with open(self.out, "a") as f:
            f.write(json.dumps(record) + "\n")

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        path = service if service.startswith("/") else "/StatusNotifierItem"
        bus_name = sender if service.startswith("/") else service
        self.items = [i for i in self.items if i[0] != bus_name] + [(bus_name, path)]
        self.StatusNotifierItemRegistered(bus_name + path)

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemUnregistered(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="")
    def StatusNotifierHostRegistered(self):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        return self.GetAll(interface)[prop]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {
            "RegisteredStatusNotifierItems": dbus.Array([n + p for n, p in self.items], signature="s"),
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
        }

    def menu_entries(self, name, menu_path):
        menu = dbus.Interface(self.bus.get_object(name, menu_path), MENU)
        _, layout = menu.GetLayout(0, -1, dbus.Array([], signature="s"))
        entries = []

        def walk(node):
            item_id, props, children = node
            if props.get("type", "") == "separator":
                entries.append({"id": int(item_id), "label": "-"})
            elif "label" in props:
                entries.append({"id": int(item_id), "label": str(props["label"]).replace("_", ""),
                                "enabled": bool(props.get("enabled", True)),
                                "icon": "icon-data" in props})
            for child in children:
                walk(child)

        walk(layout)
        return entries

    def tick(self):
        seen = []
        for name, path in list(self.items):
            try:
                obj = self.bus.get_object(name, path)
                props = dbus.Interface(obj, dbus.PROPERTIES_IFACE).GetAll(ITEM)
                menu = self.menu_entries(name, props.get("Menu", "/"))
                seen.append({"id": str(props.get("Id", "")), "icon": str(props.get("IconName", "")),
                             "themePath": str(props.get("IconThemePath", "")),
                             "title": str(props.get("Title", "")), "status": str(props.get("Status", "")),
                             "menu": menu})
            except dbus.DBusException:
                self.items.remove((name, path))
                self.StatusNotifierItemUnregistered(name + path)
        record = {"items": seen}
        if record != self.last:
            self.last = record
            self.write(record)
        self.run_commands(seen)
        return True

    def run_commands(self, seen):
        try:
            with open(self.cmds) as f:
                lines = f.read().splitlines()
        except OSError:
            return
        for line in lines[self.cmd_pos:]:
            self.cmd_pos += 1
            verb, _, label = line.partition(" ")
            if verb != "click" or not self.items:
                continue
            name, path = self.items[-1]
            props = dbus.Interface(self.bus.get_object(name, path), dbus.PROPERTIES_IFACE).GetAll(ITEM)
            for entry in self.menu_entries(name, props["Menu"]):
                if entry["label"] == label:
                    menu = dbus.Interface(self.bus.get_object(name, props["Menu"]), MENU)
                    menu.Event(entry["id"], "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0))
                    break


def main():
    out, cmds = sys.argv[1], sys.argv[2]
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    Watcher(bus, out, cmds)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
