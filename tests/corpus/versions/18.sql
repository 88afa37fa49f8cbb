-- PostgreSQL 18 on: virtual generated columns, NOT NULL constraints with
-- names (NO INHERIT, NOT VALID), NOT ENFORCED constraints, temporal keys.
CREATE EXTENSION btree_gist;
CREATE TABLE app.shapes (
  id int CONSTRAINT shapes_id_required NOT NULL,
  w int NOT NULL,
  h int,
  area int GENERATED ALWAYS AS (w * h) VIRTUAL,
  twice int GENERATED ALWAYS AS (w * 2),
  kept int GENERATED ALWAYS AS (w + 1) STORED,
  CONSTRAINT small CHECK (w < 1000) NOT ENFORCED
);
INSERT INTO app.shapes (id, w, h) VALUES (1, 2, 3), (2, 4, NULL);
CREATE TABLE app.solids (depth int NOT NULL NO INHERIT) INHERITS (app.shapes);
INSERT INTO app.solids (id, w, h, depth) VALUES (3, 1, 1, 1);
ALTER TABLE app.shapes ADD CONSTRAINT shapes_h_given NOT NULL h NOT VALID;
CREATE TABLE app.rooms (id int, during daterange,
  PRIMARY KEY (id, during WITHOUT OVERLAPS));
CREATE TABLE app.stays (room int, during daterange,
  FOREIGN KEY (room, PERIOD during) REFERENCES app.rooms (id, PERIOD during));
ALTER TABLE app.stays ADD CONSTRAINT stays_room_loose FOREIGN KEY (room, PERIOD during)
  REFERENCES app.rooms (id, PERIOD during) NOT ENFORCED;
INSERT INTO app.rooms VALUES (1, '[2024-01-01,2024-12-31)');
INSERT INTO app.stays VALUES (1, '[2024-02-01,2024-02-05)');
