-- The settings database as it is installed. The service reads and rewrites these tables but
-- never creates them. The values of the qv_conf row are bound by the creating tool
-- (:localport, :svhost, ...); the command port the desktop program expects is 15002.
create table qv_conf (
  localport integer,
  log_console integer,
  log_priority integer,
  svhost text,
  svport integer,
  p2phost text,
  p2pport integer
);
create table qv_user (
  email text,
  psw text
);
create table qv_defshare (
  def text,
  def_pic text,
  def_music text,
  def_video text,
  def_doc text,
  def_instant text
);
create table qv_share (
  path text
);
create table qv_trans (
  id INTEGER PRIMARY KEY,
  type integer,
  status integer,
  file text,
  size integer,
  time text
);
create table qv_psw (
  psw text
);
insert into qv_conf (localport, log_console, log_priority, svhost, svport, p2phost, p2pport)
  values (:localport, :log_console, :log_priority, :svhost, :svport, :p2phost, :p2pport);
